// The settings framework: how each variable class reads and writes its
// element, the reset-first rule, and the second family.
#include "config/settings.h"

#include <gtest/gtest.h>

#include "xml_test_util.h"

namespace cvn {
namespace {

using testing::ParseBody;

class TestSettings : public CSTSettings {
 public:
  TestSettings() {
    Register(port);
    Register(tcp);
    Register(server);
    Register(list);
    Register(top);
  }
  VarInt_t port{u"Port", u"Syslog", 514, 1, 65535};
  VarBool_t tcp{u"Tcp", u"Syslog", false};
  VarStr_t server{u"Server", u"Syslog", u"default"};
  VarStrList_t list{u"List", u"Logs"};
  VarInt_t top{u"Top", nullptr, 3};
};

// Loads <Corvane>body</Corvane> into settings.
void LoadBody(CSTSettings& settings, std::u16string_view body, bool reset_first) {
  XmlDocument document(u"Corvane");
  ASSERT_EQ(ParseBody(document, u"<Corvane>" + std::u16string(body) + u"</Corvane>"), 0);
  settings.Load(document, reset_first);
}

TEST(SettingsRead, IntegersTakeAnyNumberButIgnoreEmptyElements) {
  TestSettings s;
  s.port.value = 600;
  LoadBody(s, u"<Syslog><Port></Port></Syslog>", false);
  EXPECT_EQ(s.port.value, 600);
  LoadBody(s, u"<Syslog><Port /></Syslog>", false);
  EXPECT_EQ(s.port.value, 600);
  LoadBody(s, u"<Syslog><Port>abc</Port></Syslog>", false);
  EXPECT_EQ(s.port.value, 0);
  LoadBody(s, u"<Syslog><Port>70000</Port></Syslog>", false);
  EXPECT_EQ(s.port.value, 70000);  // the declared range is not enforced
  EXPECT_EQ(s.port.maximum, 65535);
}

TEST(SettingsRead, FlagsAreTrueOnlyForTheNumberOne) {
  TestSettings s;
  LoadBody(s, u"<Syslog><Tcp>1</Tcp></Syslog>", false);
  EXPECT_TRUE(s.tcp.value);
  LoadBody(s, u"<Syslog><Tcp>2</Tcp></Syslog>", false);
  EXPECT_FALSE(s.tcp.value);
  s.tcp.value = true;
  LoadBody(s, u"<Syslog><Tcp>true</Tcp></Syslog>", false);
  EXPECT_FALSE(s.tcp.value);
}

TEST(SettingsRead, StringsNeedAnAttributeButNotNecessarilyText) {
  TestSettings s;
  s.server.value = u"kept";
  LoadBody(s, u"<Syslog><Server /></Syslog>", false);
  EXPECT_EQ(s.server.value, u"kept");
  LoadBody(s, u"<Syslog><Server other=\"x\" /></Syslog>", false);
  EXPECT_EQ(s.server.value, u"");
}

TEST(SettingsRead, ListsTakeEveryChildWithAttributesWhateverItsName) {
  TestSettings s;
  s.list.items = {u"old"};
  LoadBody(s,
           u"<Logs><List><ListItem text=\"a\" /><Other text=\"b\" /><NoAttr />"
           u"<X y=\"z\" /></List></Logs>",
           false);
  EXPECT_EQ(s.list.items, (std::vector<std::u16string>{u"a", u"b", u""}));
}

TEST(SettingsRead, MissingKeysKeepTheirValueUnlessResetFirst) {
  TestSettings s;
  s.port.value = 1;
  s.server.value = u"x";
  s.list.items = {u"a"};
  s.top.value = 9;
  LoadBody(s, u"<Other />", false);
  EXPECT_EQ(s.port.value, 1);
  EXPECT_EQ(s.server.value, u"x");
  EXPECT_EQ(s.list.items.size(), 1u);
  LoadBody(s, u"<Syslog><Port /></Syslog><Top>4</Top>", true);
  EXPECT_EQ(s.port.value, 514);
  EXPECT_EQ(s.server.value, u"default");
  EXPECT_TRUE(s.list.items.empty());
  EXPECT_EQ(s.top.value, 4);  // a key without a section sits under the root
  // Loading from the null node only resets.
  s.port.value = 2;
  s.Load(XmlNode::Null(), false);
  EXPECT_EQ(s.port.value, 2);
  s.Load(XmlNode::Null(), true);
  EXPECT_EQ(s.port.value, 514);
}

TEST(SettingsWrite, ElementFormsAndSectionOrder) {
  TestSettings s;
  s.server.value = u"a&b";
  XmlDocument document(u"Corvane");
  s.Save(document);
  EXPECT_EQ(document.ToText(),
            u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
            u"<Corvane>\r\n"
            u"  <Syslog>\r\n"
            u"    <Port>514</Port>\r\n"
            u"    <Tcp>0</Tcp>\r\n"
            u"    <Server text=\"a&amp;b\" />\r\n"
            u"  </Syslog>\r\n"
            u"  <Logs>\r\n"
            u"    <List />\r\n"
            u"  </Logs>\r\n"
            u"  <Top>3</Top>\r\n"
            u"</Corvane>\r\n");
  s.list.items = {u"x", u"y"};
  XmlDocument with_items(u"Corvane");
  s.Save(with_items);
  const XmlNode& list = with_items.FindChild(u"Logs").FindChild(u"List");
  ASSERT_EQ(list.GetChildCount(), 2);
  EXPECT_EQ(list.GetChild(1).GetName(), u"ListItem");
  EXPECT_EQ(list.GetChild(1).GetAttribute(u"text"), u"y");
}

TEST(SettingsWrite, EmptyListRoundTripsAsEmpty) {
  TestSettings s;
  s.list.items = {u"stale"};
  TestSettings empty;
  XmlDocument document(u"Corvane");
  empty.Save(document);
  XmlDocument read(u"Corvane");
  ASSERT_EQ(testing::ParseImage(read, document.ToBytes()), 0);
  s.Load(read, false);
  EXPECT_TRUE(s.list.items.empty());
}

TEST(SettingsVariables, AssignAndIsEqualCheckTheClass) {
  TestSettings a, b;
  a.port.value = 7;
  a.list.items = {u"x"};
  EXPECT_FALSE(a.IsEqual(b));
  b.Assign(a);
  EXPECT_TRUE(a.IsEqual(b));
  EXPECT_EQ(b.port.value, 7);
  b.port.Assign(a.tcp);  // another class: ignored
  EXPECT_EQ(b.port.value, 7);
  EXPECT_FALSE(b.port.IsEqual(a.tcp));
  b.list.items = {u"X"};
  EXPECT_FALSE(a.list.IsEqual(b.list));  // case-sensitive
}

TEST(SecondFamily, DbExporterParametersReadWriteAndCopy) {
  VarDbExporter_t exporter;
  EXPECT_EQ(exporter.GetName(), u"ExporterToDb");
  EXPECT_EQ(exporter.GetData(), nullptr);
  EXPECT_EQ(exporter.ConnectionString.value, u"");
  EXPECT_TRUE(exporter.UseTransactions.value);

  exporter.ConnectionString.value = u"DSN=x;PWD=\"<&>\"";
  exporter.UseTransactions.value = false;
  XmlDocument document(u"Corvane");
  exporter.SaveTo(document);
  const XmlNode& group = document.FindChild(u"ExporterToDb");
  EXPECT_EQ(group.FindChild(u"ConnectionString").GetAttribute(u"text"), u"DSN=x;PWD=\"<&>\"");
  EXPECT_EQ(group.FindChild(u"UseTransactions").GetText(), u"0");

  XmlDocument read(u"Corvane");
  ASSERT_EQ(testing::ParseImage(read, document.ToBytes()), 0);
  VarDbExporter_t loaded;
  loaded.LoadFrom(read);
  EXPECT_TRUE(loaded.IsEqual(exporter));

  VarDbExporter_t copy(exporter);
  exporter.ConnectionString.value = u"changed";
  EXPECT_EQ(copy.ConnectionString.value, u"DSN=x;PWD=\"<&>\"");  // own members
  copy = exporter;
  EXPECT_EQ(copy.ConnectionString.value, u"changed");
  copy.SetDefault();
  EXPECT_TRUE(copy.UseTransactions.value);
  EXPECT_EQ(copy.ConnectionString.value, u"");

  // Reading a group does not reset members missing from it.
  VarDbExporter_t partial;
  partial.ConnectionString.value = u"kept";
  XmlDocument only_flag(u"Corvane");
  ASSERT_EQ(ParseBody(only_flag,
                      u"<Corvane><ExporterToDb><UseTransactions>0</UseTransactions>"
                      u"</ExporterToDb></Corvane>"),
            0);
  partial.LoadFrom(only_flag);
  EXPECT_EQ(partial.ConnectionString.value, u"kept");
  EXPECT_FALSE(partial.UseTransactions.value);
}

}  // namespace
}  // namespace cvn
