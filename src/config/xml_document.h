// The service's own small XML engine: an element tree (XmlNode), a document
// that is the root element of such a tree (XmlDocument), a strict reader of
// exactly the UTF-16LE dialect that the writer produces, and file load and
// save. The dialect: one fixed declaration, elements with attributes, and
// character text directly after a start tag; nothing else.
//
// Lookups never fail: whatever finds nothing returns the process-wide null
// node, whose changing operations do nothing, so chains of lookups are safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace cvn {

class XmlNode {
 public:
  explicit XmlNode(std::u16string name);
  XmlNode(const XmlNode& other);
  XmlNode(XmlNode&& other) noexcept;
  // Assigning to the null node is ignored, so the shared node stays unchanged.
  XmlNode& operator=(const XmlNode& other);
  XmlNode& operator=(XmlNode&& other) noexcept;
  ~XmlNode();

  // The shared invalid node: name and text "(null)", nothing else.
  static XmlNode& Null();

  bool IsValid() const { return valid_; }
  std::u16string GetName() const { return name_; }

  // Appends a valid child and returns it; the reference is usable until the
  // next child is added to this node. On an invalid node: the null node.
  XmlNode& AddChild(std::u16string_view name);
  // First child of exactly that name (through the index when it has one),
  // else the null node.
  XmlNode& FindChild(std::u16string_view name);
  const XmlNode& FindChild(std::u16string_view name) const;
  int GetChildCount() const { return static_cast<int>(children_.size()); }
  // The null node when i is negative or not below the count.
  XmlNode& GetChild(int i);
  const XmlNode& GetChild(int i) const;

  bool HasChildren() const { return !children_.empty(); }
  bool HasText() const { return !text_.empty(); }
  bool HasAttributes() const { return !attributes_.empty(); }

  // Empty when absent.
  std::u16string GetAttribute(std::u16string_view name) const;
  void SetAttribute(std::u16string_view name, std::u16string_view value);
  const std::map<std::u16string, std::u16string, std::less<>>& Attributes() const {
    return attributes_;
  }

  std::u16string GetText() const { return text_; }
  void SetText(std::u16string_view text);
  // Leading white space and a sign accepted, stops at the first non-digit,
  // 0 without a number, saturated at the 32-bit limits.
  int32_t GetTextInt() const;
  // True exactly when GetTextInt() is 1.
  bool GetTextBool() const { return GetTextInt() == 1; }
  void SetTextInt(int32_t value);
  void SetTextBool(bool value) { SetText(value ? u"1" : u"0"); }

  // Rebuilds the name index of this node and of every descendant. Call it on
  // a tree that is no longer changed; lookups of names it lacks still scan.
  void BuildIndex();

  // Appends this element, with line_break after it, as the writer forms it.
  void WriteTo(std::u16string& out, std::u16string_view line_break) const;

 protected:
  struct NullTag {};
  explicit XmlNode(NullTag);
  void SetName(std::u16string name) {
    if (valid_) name_ = std::move(name);
  }

 private:
  friend class XmlDocument;
  friend class XmlTreeBuilder;

  bool valid_ = true;
  std::u16string name_;
  std::u16string text_;
  std::vector<XmlNode> children_;
  std::map<std::u16string, std::u16string, std::less<>> attributes_;
  // Child name -> position in children_ of the first child of that name.
  // Positions stay right when children are appended later, unlike pointers.
  std::map<std::u16string, size_t, std::less<>> index_;
};

class XmlDocument : public XmlNode {
 public:
  // Deepest element nesting the reader accepts; deeper images are rejected,
  // so neither the reader nor the tree's recursive operations can exhaust
  // the stack on hostile input.
  static constexpr int kMaxDepth = 256;
  // Largest image accepted: Load gives 14 for a larger file (as a failed
  // allocation would), Parse rejects it. A tree takes many times the bytes of
  // its image, so this bounds the memory a hostile file can claim.
  static constexpr uint64_t kMaxFileSize = 32u * 1024 * 1024;

  explicit XmlDocument(std::u16string root_name) : XmlNode(std::move(root_name)) {}

  // Reads the whole file and parses it: 0, -1 when the image is rejected or
  // the document is invalid, else a Windows error code (14 out of memory,
  // 38 when fewer bytes arrive than the file's size).
  int32_t Load(std::u16string_view path);
  // Parses a complete file image (BOM and declaration included) into this
  // document: 0, or -1 when rejected (the document may then be partly filled).
  int32_t Parse(const void* bytes, size_t size);
  // Why the last Load or Parse rejected its image, with the line where the
  // reader stopped when it can tell ("line 12: ..."); empty otherwise.
  const std::string& RejectReason() const { return reject_reason_; }
  // Writes BOM, declaration and tree. The text goes to a temporary file next
  // to the target, is synced and then replaces the target, so a crash leaves
  // the old or the new file. A target that cannot be opened for writing (read
  // only, in use) fails with that error and stays untouched. 0 or the error.
  int32_t Save(std::u16string_view path) const;

  // The whole file text without the BOM: declaration, CR LF, root element.
  std::u16string ToText() const;
  // ToText() as file bytes: FF FE then two bytes per code unit.
  std::string ToBytes() const;

 private:
  int32_t ParseImage(const uint8_t* bytes, size_t size);

  std::string reject_reason_;
};

// The writer's escaping of texts and attribute values (& " < >), and the
// reader's unescaping (&gt; &lt; &quot; then &amp;; others stay as written).
std::u16string XmlEscape(std::u16string_view text);
std::u16string XmlUnescape(std::u16string_view text);
// Removes spaces, tabs, CR and LF at both ends.
std::u16string_view XmlTrim(std::u16string_view text);

}  // namespace cvn
