// Typed settings variables that know their key, section and default and read
// and write themselves as elements of an XML tree, and the container that
// walks a list of them (CSTSettings). A configuration class derives from
// CSTSettings, holds its variables as public members and registers each one;
// registration order is the order of the elements in a saved file.
//
// A second, smaller family without sections (Var_t, VarBool_t, VarStr_t,
// VarGroup_t, VarDbExporter_t) is the parameter block handed to the database
// exporter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/xml_document.h"
#include "platform/sync.h"

namespace cvn {

class CSTSettings {
 public:
  class Var_t {
   public:
    Var_t(const char16_t* name, const char16_t* section) : name(name), section(section) {}

    // Copies the value of a variable of the same class (others are ignored).
    virtual void Assign(const Var_t& other) = 0;
    virtual bool IsEqual(const Var_t& other) const = 0;
    virtual void SetDefault() = 0;
    virtual void WriteValue(XmlNode& element) const = 0;
    virtual void ReadValue(const XmlNode& element) = 0;

    // Stores the value under root/section/name, creating missing elements.
    void SaveTo(XmlNode& root) const;
    // Resets to the default when asked, then reads root/section/name if present.
    void LoadFrom(const XmlNode& root, bool reset_first);

    const char16_t* const name;
    const char16_t* const section;  // null: the key sits directly under the root

   protected:
    ~Var_t() = default;
    Var_t(const Var_t&) = default;
    Var_t& operator=(const Var_t&) { return *this; }  // name and section stay
  };

  class VarInt_t final : public Var_t {
   public:
    // minimum and maximum 0, 0: no range declared. The range is carried, not
    // enforced: reading takes values as they are.
    VarInt_t(const char16_t* name, const char16_t* section, int32_t def, int32_t minimum = 0,
             int32_t maximum = 0)
        : Var_t(name, section), def(def), minimum(minimum), maximum(maximum), value(def) {}
    void Assign(const Var_t& other) override;
    bool IsEqual(const Var_t& other) const override;
    void SetDefault() override { value = def; }
    void WriteValue(XmlNode& element) const override { element.SetTextInt(value); }
    void ReadValue(const XmlNode& element) override;
    bool HasRange() const { return minimum != 0 || maximum != 0; }

    const int32_t def;
    const int32_t minimum;
    const int32_t maximum;
    int32_t value;
  };

  class VarBool_t final : public Var_t {
   public:
    VarBool_t(const char16_t* name, const char16_t* section, bool def)
        : Var_t(name, section), def(def), value(def) {}
    void Assign(const Var_t& other) override;
    bool IsEqual(const Var_t& other) const override;
    void SetDefault() override { value = def; }
    void WriteValue(XmlNode& element) const override { element.SetTextBool(value); }
    void ReadValue(const XmlNode& element) override;

    const bool def;
    bool value;
  };

  class VarStr_t final : public Var_t {
   public:
    VarStr_t(const char16_t* name, const char16_t* section, const char16_t* def = nullptr)
        : Var_t(name, section), def(def), value(def ? def : u"") {}
    void Assign(const Var_t& other) override;
    bool IsEqual(const Var_t& other) const override;
    void SetDefault() override { value = def ? def : u""; }
    void WriteValue(XmlNode& element) const override { element.SetAttribute(u"text", value); }
    void ReadValue(const XmlNode& element) override;

    const char16_t* const def;
    std::u16string value;
  };

  // An ordered list of strings: <List><ListItem text="..." />...</List>.
  // The lock guards Assign, IsEqual and SetDefault; readers of items that race
  // with those take it themselves.
  class VarStrList_t final : public Var_t {
   public:
    VarStrList_t(const char16_t* name, const char16_t* section) : Var_t(name, section) {}
    void Assign(const Var_t& other) override;
    bool IsEqual(const Var_t& other) const override;
    void SetDefault() override;
    void WriteValue(XmlNode& element) const override;
    void ReadValue(const XmlNode& element) override;

    std::vector<std::u16string> items;
    mutable platform::Lock lock;
  };

  CSTSettings() = default;
  virtual ~CSTSettings() = default;
  CSTSettings(const CSTSettings&) = delete;
  CSTSettings& operator=(const CSTSettings&) = delete;

  // Every variable in registration order; both always return 0.
  virtual int32_t Save(XmlNode& root) const;
  virtual int32_t Load(XmlNode& root, bool reset_first);

  // Variable by variable, when both hold the same number of variables.
  void Assign(const CSTSettings& other);
  bool IsEqual(const CSTSettings& other) const;

  const std::vector<Var_t*>& Variables() const { return variables_; }

 protected:
  void Register(Var_t& variable) { variables_.push_back(&variable); }

 private:
  std::vector<Var_t*> variables_;
};

// ---------------------------------------------------------------------------
// Second family: no sections; a variable's element is found or created
// directly under the element given, by GetName().

class Var_t {
 public:
  explicit Var_t(const char16_t* name) : name(name) {}
  virtual ~Var_t() = default;
  virtual void Assign(const Var_t& other) = 0;
  virtual bool IsEqual(const Var_t& other) const = 0;
  virtual void SetDefault() = 0;
  virtual std::u16string GetName() const { return name; }
  // No class of the family has anything to offer here.
  virtual void* GetData() const { return nullptr; }
  virtual void WriteValue(XmlNode& element) const = 0;
  virtual void ReadValue(const XmlNode& element) = 0;

  // WriteValue into parent's child of this name (created when missing).
  void SaveTo(XmlNode& parent) const;
  // ReadValue from parent's child of this name, if there is one.
  void LoadFrom(const XmlNode& parent);

  const char16_t* const name;

 protected:
  Var_t(const Var_t&) = default;
  Var_t& operator=(const Var_t&) { return *this; }
};

class VarBool_t : public Var_t {
 public:
  VarBool_t(const char16_t* name, bool def) : Var_t(name), def(def), value(def) {}
  void Assign(const Var_t& other) override;
  bool IsEqual(const Var_t& other) const override;
  void SetDefault() override { value = def; }
  void WriteValue(XmlNode& element) const override { element.SetTextBool(value); }
  void ReadValue(const XmlNode& element) override;

  bool def;
  bool value;
};

class VarStr_t : public Var_t {
 public:
  VarStr_t(const char16_t* name, const char16_t* def = nullptr)
      : Var_t(name), def(def), value(def ? def : u"") {}
  void Assign(const Var_t& other) override;
  bool IsEqual(const Var_t& other) const override;
  void SetDefault() override { value = def ? def : u""; }
  void WriteValue(XmlNode& element) const override { element.SetAttribute(u"text", value); }
  void ReadValue(const XmlNode& element) override;

  const char16_t* def;
  std::u16string value;
};

// A group of member variables that it does not own.
class VarGroup_t : public Var_t {
 public:
  explicit VarGroup_t(const char16_t* name) : Var_t(name) {}
  VarGroup_t(const VarGroup_t&) = delete;
  VarGroup_t& operator=(const VarGroup_t&) = delete;

  // Member by member when both groups have as many members; else nothing.
  void Assign(const Var_t& other) override;
  bool IsEqual(const Var_t& other) const override;
  void SetDefault() override;
  void WriteValue(XmlNode& element) const override;
  // Every member from its child element, without resetting.
  void ReadValue(const XmlNode& element) override;

 protected:
  void AddMember(Var_t& member) { members_.push_back(&member); }

 private:
  std::vector<Var_t*> members_;
};

// The database exporter's parameters.
class VarDbExporter_t final : public VarGroup_t {
 public:
  VarDbExporter_t();
  VarDbExporter_t(const VarDbExporter_t& other);
  VarDbExporter_t& operator=(const VarDbExporter_t& other);

  VarStr_t ConnectionString{u"ConnectionString"};
  VarBool_t UseTransactions{u"UseTransactions", true};
};

}  // namespace cvn
