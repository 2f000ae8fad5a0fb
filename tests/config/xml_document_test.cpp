// The element tree, the writer's exact output, escaping, and file load/save.
#include "config/xml_document.h"

#include <gtest/gtest.h>

#include <climits>

#include "base/text.h"
#include "support/temp_dir.h"
#include "xml_test_util.h"

namespace cvn {
namespace {

using testing::ParseBody;
using testing::ParseImage;
using testing::Utf16LeBytes;
using testing::XmlImage;

TEST(XmlWriter, WritesTheDocumentedBytesForANestedElement) {
  XmlDocument document(u"Corvane");
  document.AddChild(u"General").AddChild(u"KeepLogs").SetTextInt(14);
  const std::u16string expected =
      u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
      u"<Corvane>\r\n"
      u"  <General>\r\n"
      u"    <KeepLogs>14</KeepLogs>\r\n"
      u"  </General>\r\n"
      u"</Corvane>\r\n";
  EXPECT_EQ(document.ToText(), expected);
  EXPECT_EQ(document.ToBytes(), "\xFF\xFE" + Utf16LeBytes(expected));
}

TEST(XmlWriter, EmptyElementsAttributesInNameOrderAndTextAfterChildren) {
  XmlDocument document(u"R");
  XmlNode& a = document.AddChild(u"A");
  a.SetAttribute(u"z", u"1");
  a.SetAttribute(u"b", u"2");
  a.SetAttribute(u"z", u"3");  // replaces, keeps one value per name
  XmlNode& b = document.AddChild(u"B");
  b.AddChild(u"C");
  b.SetText(u"t");
  EXPECT_EQ(document.ToText(),
            u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
            u"<R>\r\n"
            u"  <A b=\"2\" z=\"3\" />\r\n"
            u"  <B>\r\n"
            u"    <C />\r\n"
            u"  t</B>\r\n"
            u"</R>\r\n");
}

TEST(XmlWriter, EmptyRootIsAnEmptyElementTag) {
  XmlDocument document(u"Corvane");
  EXPECT_EQ(document.ToText(), u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<Corvane />\r\n");
}

TEST(XmlEscaping, EscapesTheFourCharactersOnly) {
  EXPECT_EQ(XmlEscape(u"a&b\"c<d>e'f"), u"a&amp;b&quot;c&lt;d&gt;e'f");
  EXPECT_EQ(XmlEscape(u"&amp;"), u"&amp;amp;");
}

TEST(XmlEscaping, UnescapesInTheFixedOrderAndKeepsOtherEntities) {
  EXPECT_EQ(XmlUnescape(u"a&amp;b&lt;c"), u"a&b<c");
  EXPECT_EQ(XmlUnescape(u"&amp;amp;"), u"&amp;");
  EXPECT_EQ(XmlUnescape(u"&amp;lt;"), u"&lt;");
  EXPECT_EQ(XmlUnescape(u"&apos;&#65;&#x41;&unknown;&"), u"&apos;&#65;&#x41;&unknown;&");
  EXPECT_EQ(XmlUnescape(u"&gt;&lt;&quot;&amp;"), u"><\"&");
}

TEST(XmlEscaping, ValuesAndTextsSurviveAWriteAndARead) {
  const std::u16string tricky = u"&\"<>&amp;&lt;'x'";
  XmlDocument out(u"Corvane");
  XmlNode& node = out.AddChild(u"Node");
  node.SetAttribute(u"text", u"  " + tricky + u"  ");
  node.SetAttribute(u"other", u"a\r\nb\tc");
  out.AddChild(u"Text").SetText(tricky);
  const std::string image = out.ToBytes();

  XmlDocument in(u"Corvane");
  ASSERT_EQ(ParseImage(in, image), 0);
  EXPECT_EQ(in.FindChild(u"Node").GetAttribute(u"text"), u"  " + tricky + u"  ");
  EXPECT_EQ(in.FindChild(u"Node").GetAttribute(u"other"), u"a\r\nb\tc");
  EXPECT_EQ(in.FindChild(u"Text").GetText(), tricky);
  EXPECT_EQ(in.ToBytes(), image);  // the tree writes back byte for byte

  // Element texts lose their surrounding white space.
  out.AddChild(u"Padded").SetText(u"  inner  ");
  XmlDocument padded(u"Corvane");
  ASSERT_EQ(ParseImage(padded, out.ToBytes()), 0);
  EXPECT_EQ(padded.FindChild(u"Padded").GetText(), u"inner");
}

TEST(XmlNodeTest, NullNodeAbsorbsChangesAndReadsEmpty) {
  XmlNode& null_node = XmlNode::Null();
  EXPECT_FALSE(null_node.IsValid());
  EXPECT_EQ(null_node.GetName(), u"(null)");
  EXPECT_EQ(null_node.GetText(), u"(null)");
  EXPECT_EQ(&null_node.AddChild(u"x"), &null_node);
  null_node.SetText(u"1");
  null_node.SetAttribute(u"a", u"b");
  null_node.SetTextInt(5);
  null_node = XmlNode(u"Replacement");
  XmlNode moved(std::move(null_node));  // a move leaves the shared node intact
  EXPECT_FALSE(moved.IsValid());
  null_node.BuildIndex();
  EXPECT_FALSE(null_node.IsValid());
  EXPECT_EQ(null_node.GetName(), u"(null)");
  EXPECT_EQ(null_node.GetChildCount(), 0);
  EXPECT_FALSE(null_node.HasAttributes());
  EXPECT_EQ(null_node.GetAttribute(u"a"), u"");
  EXPECT_EQ(null_node.GetTextInt(), 0);
  EXPECT_FALSE(null_node.GetTextBool());
  // Chains of lookups end in the null node.
  XmlDocument document(u"R");
  EXPECT_EQ(&document.FindChild(u"a").FindChild(u"b").GetChild(3), &null_node);
}

TEST(XmlNodeTest, ChildLookupByIndexAndName) {
  XmlDocument document(u"R");
  document.AddChild(u"a").SetText(u"first");
  document.AddChild(u"b");
  document.AddChild(u"a").SetText(u"second");
  EXPECT_EQ(document.GetChild(-1).IsValid(), false);
  EXPECT_EQ(document.GetChild(3).IsValid(), false);
  EXPECT_EQ(document.GetChild(2).GetText(), u"second");
  EXPECT_EQ(document.FindChild(u"a").GetText(), u"first");
  EXPECT_FALSE(document.FindChild(u"A").IsValid());  // case-sensitive
  document.BuildIndex();
  EXPECT_EQ(document.FindChild(u"a").GetText(), u"first");
  // Children added after the index was built are still found.
  document.AddChild(u"c").SetText(u"late");
  EXPECT_EQ(document.FindChild(u"c").GetText(), u"late");
  EXPECT_EQ(document.FindChild(u"a").GetText(), u"first");
}

TEST(XmlNodeTest, CopiesOwnTheirSubtree) {
  XmlDocument document(u"R");
  document.AddChild(u"a").AddChild(u"b").SetText(u"x");
  document.BuildIndex();
  XmlNode copy = document;
  document.FindChild(u"a").FindChild(u"b").SetText(u"changed");
  EXPECT_EQ(copy.FindChild(u"a").FindChild(u"b").GetText(), u"x");
}

TEST(XmlNodeTest, TextAsNumberAndFlag) {
  XmlNode node(u"n");
  const struct {
    std::u16string text;
    int32_t number;
  } cases[] = {
      {u"42", 42},
      {u"  -12abc", -12},
      {u"+7", 7},
      {u"\t\r\n 3", 3},
      {u"abc", 0},
      {u"", 0},
      {u"-", 0},
      {u"99999999999", INT_MAX},
      {u"-99999999999", INT_MIN},
      {u"2147483647", INT_MAX},
      {u"-2147483648", INT_MIN},
      {u"1.9", 1},
  };
  for (const auto& c : cases) {
    node.SetText(c.text);
    EXPECT_EQ(node.GetTextInt(), c.number) << Utf16ToUtf8(c.text);
  }
  for (const char16_t* text : {u"1", u" 1", u"01", u"1x"}) {
    node.SetText(text);
    EXPECT_TRUE(node.GetTextBool()) << Utf16ToUtf8(text);
  }
  for (const char16_t* text : {u"2", u"true", u"", u"0", u"-1"}) {
    node.SetText(text);
    EXPECT_FALSE(node.GetTextBool()) << Utf16ToUtf8(text);
  }
  node.SetTextInt(-5);
  EXPECT_EQ(node.GetText(), u"-5");
  node.SetTextInt(INT_MIN);
  EXPECT_EQ(node.GetText(), u"-2147483648");
  node.SetTextBool(true);
  EXPECT_EQ(node.GetText(), u"1");
}

class XmlFileTest : public ::testing::Test {
 protected:
  std::u16string PathOf(const char* name) const { return (dir_.path() / name).u16string(); }
  cvn::testing::TempDir dir_;
};

TEST_F(XmlFileTest, SaveThenLoadReproducesTheTreeAndLeavesNoTemporaryFile) {
  XmlDocument out(u"Corvane");
  out.AddChild(u"General").AddChild(u"KeepLogs").SetTextInt(14);
  const std::u16string path = PathOf("settings.cvncfg");
  ASSERT_EQ(out.Save(path), 0);
  EXPECT_EQ(cvn::testing::ReadFileBytes(dir_.path() / "settings.cvncfg"), out.ToBytes());
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "settings.cvncfg.tmp"));

  // Saving again replaces the file completely (a shorter tree leaves no tail).
  XmlDocument shorter(u"Corvane");
  ASSERT_EQ(shorter.Save(path), 0);
  EXPECT_EQ(cvn::testing::ReadFileBytes(dir_.path() / "settings.cvncfg"), shorter.ToBytes());

  XmlDocument in(u"Corvane");
  ASSERT_EQ(out.Save(path), 0);
  ASSERT_EQ(in.Load(path), 0);
  EXPECT_EQ(in.FindChild(u"General").FindChild(u"KeepLogs").GetTextInt(), 14);
}

TEST_F(XmlFileTest, LoadReportsMissingAndMalformedFiles) {
  XmlDocument document(u"Corvane");
  EXPECT_EQ(document.Load(PathOf("missing.cvncfg")), 2);
  cvn::testing::WriteFileBytes(dir_.path() / "empty.cvncfg", "");
  EXPECT_EQ(document.Load(PathOf("empty.cvncfg")), -1);
  cvn::testing::WriteFileBytes(dir_.path() / "utf8.cvncfg",
                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Corvane></Corvane>");
  EXPECT_EQ(document.Load(PathOf("utf8.cvncfg")), -1);
}

TEST_F(XmlFileTest, SaveIntoAFolderPathFailsAndKeepsTheFolder) {
  std::filesystem::create_directory(dir_.path() / "folder");
  XmlDocument document(u"Corvane");
  EXPECT_EQ(document.Save(PathOf("folder")), 5);
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "folder"));
  EXPECT_NE(document.Save(PathOf("no/such/folder/settings.cvncfg")), 0);
}

}  // namespace
}  // namespace cvn
