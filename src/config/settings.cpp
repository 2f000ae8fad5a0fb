#include "config/settings.h"

namespace cvn {

// ---------------------------------------------------------------------------
// CSTSettings::Var_t

void CSTSettings::Var_t::SaveTo(XmlNode& root) const {
  if (!root.IsValid()) return;
  XmlNode* parent = &root;
  if (section != nullptr) {
    parent = &root.FindChild(section);
    if (!parent->IsValid()) parent = &root.AddChild(section);
    if (!parent->IsValid()) return;
  }
  XmlNode* element = &parent->FindChild(name);
  if (!element->IsValid()) element = &parent->AddChild(name);
  if (element->IsValid()) WriteValue(*element);
}

void CSTSettings::Var_t::LoadFrom(const XmlNode& root, bool reset_first) {
  if (reset_first) SetDefault();
  if (!root.IsValid()) return;
  const XmlNode* parent = &root;
  if (section != nullptr) {
    parent = &root.FindChild(section);
    if (!parent->IsValid()) return;
  }
  const XmlNode& element = parent->FindChild(name);
  if (element.IsValid()) ReadValue(element);
}

// ---------------------------------------------------------------------------
// Concrete variables

void CSTSettings::VarInt_t::Assign(const Var_t& other) {
  if (const auto* o = dynamic_cast<const VarInt_t*>(&other)) value = o->value;
}

bool CSTSettings::VarInt_t::IsEqual(const Var_t& other) const {
  const auto* o = dynamic_cast<const VarInt_t*>(&other);
  return o != nullptr && o->value == value;
}

void CSTSettings::VarInt_t::ReadValue(const XmlNode& element) {
  if (element.HasText()) value = element.GetTextInt();
}

void CSTSettings::VarBool_t::Assign(const Var_t& other) {
  if (const auto* o = dynamic_cast<const VarBool_t*>(&other)) value = o->value;
}

bool CSTSettings::VarBool_t::IsEqual(const Var_t& other) const {
  const auto* o = dynamic_cast<const VarBool_t*>(&other);
  return o != nullptr && o->value == value;
}

void CSTSettings::VarBool_t::ReadValue(const XmlNode& element) {
  if (element.HasText()) value = element.GetTextBool();
}

void CSTSettings::VarStr_t::Assign(const Var_t& other) {
  if (const auto* o = dynamic_cast<const VarStr_t*>(&other)) value = o->value;
}

bool CSTSettings::VarStr_t::IsEqual(const Var_t& other) const {
  const auto* o = dynamic_cast<const VarStr_t*>(&other);
  return o != nullptr && o->value == value;
}

void CSTSettings::VarStr_t::ReadValue(const XmlNode& element) {
  if (element.HasAttributes()) value = element.GetAttribute(u"text");
}

void CSTSettings::VarStrList_t::Assign(const Var_t& other) {
  const auto* o = dynamic_cast<const VarStrList_t*>(&other);
  if (o == nullptr || o == this) return;
  // Copy under the other's lock first, then replace under ours, so the two
  // locks are never held together.
  std::vector<std::u16string> copy;
  {
    platform::LockGuard guard(o->lock);
    copy = o->items;
  }
  platform::LockGuard guard(lock);
  items = std::move(copy);
}

bool CSTSettings::VarStrList_t::IsEqual(const Var_t& other) const {
  const auto* o = dynamic_cast<const VarStrList_t*>(&other);
  if (o == nullptr) return false;
  if (o == this) return true;
  std::vector<std::u16string> copy;
  {
    platform::LockGuard guard(o->lock);
    copy = o->items;
  }
  platform::LockGuard guard(lock);
  return items == copy;
}

void CSTSettings::VarStrList_t::SetDefault() {
  platform::LockGuard guard(lock);
  items.clear();
}

void CSTSettings::VarStrList_t::WriteValue(XmlNode& element) const {
  for (const std::u16string& item : items) {
    element.AddChild(u"ListItem").SetAttribute(u"text", item);
  }
}

void CSTSettings::VarStrList_t::ReadValue(const XmlNode& element) {
  items.clear();
  for (int i = 0; i < element.GetChildCount(); ++i) {
    const XmlNode& child = element.GetChild(i);
    if (child.HasAttributes()) items.push_back(child.GetAttribute(u"text"));
  }
}

// ---------------------------------------------------------------------------
// CSTSettings

int32_t CSTSettings::Save(XmlNode& root) const {
  for (const Var_t* variable : variables_) variable->SaveTo(root);
  return 0;
}

int32_t CSTSettings::Load(XmlNode& root, bool reset_first) {
  root.BuildIndex();
  for (Var_t* variable : variables_) variable->LoadFrom(root, reset_first);
  return 0;
}

void CSTSettings::Assign(const CSTSettings& other) {
  if (&other == this || other.variables_.size() != variables_.size()) return;
  for (size_t i = 0; i < variables_.size(); ++i) variables_[i]->Assign(*other.variables_[i]);
}

bool CSTSettings::IsEqual(const CSTSettings& other) const {
  if (other.variables_.size() != variables_.size()) return false;
  for (size_t i = 0; i < variables_.size(); ++i) {
    if (!variables_[i]->IsEqual(*other.variables_[i])) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Second family

void Var_t::SaveTo(XmlNode& parent) const {
  const std::u16string key = GetName();
  XmlNode* element = &parent.FindChild(key);
  if (!element->IsValid()) element = &parent.AddChild(key);
  if (element->IsValid()) WriteValue(*element);
}

void Var_t::LoadFrom(const XmlNode& parent) {
  const XmlNode& element = parent.FindChild(GetName());
  if (element.IsValid()) ReadValue(element);
}

void VarBool_t::Assign(const Var_t& other) {
  if (const auto* o = dynamic_cast<const VarBool_t*>(&other)) value = o->value;
}

bool VarBool_t::IsEqual(const Var_t& other) const {
  const auto* o = dynamic_cast<const VarBool_t*>(&other);
  return o != nullptr && o->value == value;
}

void VarBool_t::ReadValue(const XmlNode& element) {
  if (element.HasText()) value = element.GetTextBool();
}

void VarStr_t::Assign(const Var_t& other) {
  if (const auto* o = dynamic_cast<const VarStr_t*>(&other)) value = o->value;
}

bool VarStr_t::IsEqual(const Var_t& other) const {
  const auto* o = dynamic_cast<const VarStr_t*>(&other);
  return o != nullptr && o->value == value;
}

void VarStr_t::ReadValue(const XmlNode& element) {
  if (element.HasAttributes()) value = element.GetAttribute(u"text");
}

void VarGroup_t::Assign(const Var_t& other) {
  const auto* o = dynamic_cast<const VarGroup_t*>(&other);
  if (o == nullptr || o == this || o->members_.size() != members_.size()) return;
  for (size_t i = 0; i < members_.size(); ++i) members_[i]->Assign(*o->members_[i]);
}

bool VarGroup_t::IsEqual(const Var_t& other) const {
  const auto* o = dynamic_cast<const VarGroup_t*>(&other);
  if (o == nullptr || o->members_.size() != members_.size()) return false;
  for (size_t i = 0; i < members_.size(); ++i) {
    if (!members_[i]->IsEqual(*o->members_[i])) return false;
  }
  return true;
}

void VarGroup_t::SetDefault() {
  for (Var_t* member : members_) member->SetDefault();
}

void VarGroup_t::WriteValue(XmlNode& element) const {
  for (const Var_t* member : members_) member->SaveTo(element);
}

void VarGroup_t::ReadValue(const XmlNode& element) {
  for (Var_t* member : members_) member->LoadFrom(element);
}

VarDbExporter_t::VarDbExporter_t() : VarGroup_t(u"ExporterToDb") {
  AddMember(ConnectionString);
  AddMember(UseTransactions);
}

VarDbExporter_t::VarDbExporter_t(const VarDbExporter_t& other) : VarDbExporter_t() {
  Assign(other);
}

VarDbExporter_t& VarDbExporter_t::operator=(const VarDbExporter_t& other) {
  Assign(other);
  return *this;
}

}  // namespace cvn
