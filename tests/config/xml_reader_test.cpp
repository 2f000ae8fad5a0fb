// The strict reader: what it rejects, what it lets through, and hostile input
// (sizes, truncation, deep nesting, random and mutated images).
#include <gtest/gtest.h>

#include <random>

#include "config/xml_document.h"
#include "xml_test_util.h"

namespace cvn {
namespace {

using testing::ParseBody;
using testing::ParseImage;
using testing::Utf16LeBytes;
using testing::XmlImage;

int32_t ParseBytes(const std::string& bytes) {
  XmlDocument document(u"Corvane");
  return ParseImage(document, bytes);
}

TEST(XmlReaderRejects, ShortFilesWrongMarksAndDeclarations) {
  const std::string header = "\xFF\xFE" + Utf16LeBytes(testing::kXmlDeclaration);
  ASSERT_EQ(header.size(), 80u);
  EXPECT_EQ(ParseBytes(""), -1);
  EXPECT_EQ(ParseBytes("\xFF"), -1);
  EXPECT_EQ(ParseBytes(header.substr(0, 79)), -1);
  EXPECT_EQ(ParseBytes(header), -1);        // 80 bytes: nothing after the declaration
  EXPECT_EQ(ParseBytes(header + "<"), -1);  // 81 bytes: half a code unit
  XmlDocument document(u"Corvane");
  EXPECT_EQ(document.Parse(nullptr, 100), -1);

  const std::u16string body = u"<Corvane></Corvane>";
  std::string no_bom = XmlImage(body).substr(2);
  EXPECT_EQ(ParseBytes(no_bom), -1);
  std::string big_endian = XmlImage(body);
  big_endian[0] = '\xFE';
  big_endian[1] = '\xFF';
  EXPECT_EQ(ParseBytes(big_endian), -1);
  EXPECT_EQ(ParseBytes("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
                       "<Corvane></Corvane>\r\n"),
            -1);
  for (const char16_t* declaration : {
           u"<?xml version='1.0' encoding='UTF-16'?>",
           u"<?xml version=\"1.0\" encoding=\"utf-16\"?>",
           u"<?xml version=\"1.0\"  encoding=\"UTF-16\"?>",
           u"<?xml version=\"1.0\" encoding=\"UTF-16\" ?>",
       }) {
    const std::string image =
        "\xFF\xFE" + Utf16LeBytes(std::u16string(declaration) + u"\r\n" + body);
    EXPECT_EQ(ParseBytes(image), -1);
  }
}

TEST(XmlReaderRejects, MalformedStructure) {
  const char16_t* bodies[] = {
      u"",                                   // no tokens
      u"  \r\n\t ",                          // white space only
      u"<Corvane />",                        // root as an empty-element tag
      u"<Corvane>",                          // missing end tag
      u"<Corvane></Corvane",                 // '>' missing at the end
      u"<Corvane><a></Corvane>",             // child without end tag
      u"<Corvane></a></Corvane>",            // end tag without start
      u"<Corvane></Other>",                  // root end tag of another name
      u"<Corvane></Corvane><Extra />",       // element after the root
      u"<Corvane><></Corvane>",              // empty tag
      u"<Corvane>< /></Corvane>",            // empty empty-element tag
      u"<Corvane><a b></a></Corvane>",       // attribute without value
      u"<Corvane><a b='1' /></Corvane>",     // single quotes
      u"<Corvane><a b=\" /></Corvane>",      // a lone quote
      u"<Corvane><a b=/></Corvane>",         // '=' last
      u"<Corvane><a><a></a></a></Corvane>",  // start tag of its own name inside
      u"<Corvane><a></b></a></Corvane>",     // stray end tag inside
      u"<!-- c --><Corvane></Corvane>",      // comment before the root
  };
  for (const char16_t* body : bodies) {
    XmlDocument document(u"Corvane");
    EXPECT_EQ(ParseBody(document, body), -1) << testing::Utf16LeBytes(body).size();
  }
}

// A rejected image says why and, past the header, on which line the reader
// stopped (line 1 holds the declaration).
TEST(XmlReaderRejects, WithTheReasonAndItsLine) {
  const std::pair<const char16_t*, const char*> cases[] = {
      {u"<Corvane>\r\n<General>\r\n<a x=1 />\r\n</General>\r\n</Corvane>", "line 4: an element"},
      {u"<Corvane>\r\n<General>\r\n</Corvane>", "line 3: an element that is not closed"},
      {u"<Corvane>\r\n\r\n<General\r\n", "line 4: a tag without its closing '>'"},
      {u"<a></a>\r\n<b></b>", "no root element"},
  };
  for (const auto& [body, reason] : cases) {
    XmlDocument document(u"Corvane");
    EXPECT_EQ(ParseBody(document, body), -1);
    EXPECT_TRUE(document.RejectReason().starts_with(reason)) << document.RejectReason();
  }
  XmlDocument document(u"Corvane");
  EXPECT_EQ(ParseImage(document, XmlImage(u"<Corvane></Corvane>").substr(2)), -1);
  EXPECT_NE(document.RejectReason().find("byte-order mark"), std::string::npos);
  EXPECT_EQ(ParseBody(document, u"<Corvane></Corvane>"), 0);
  EXPECT_EQ(document.RejectReason(), "");
}

TEST(XmlReaderAccepts, TheLenienciesOfTheDialect) {
  {
    XmlDocument document(u"Corvane");
    ASSERT_EQ(ParseBody(document, u"<Root></Root>"), 0);
    EXPECT_EQ(document.GetName(), u"Root");  // the root name comes from the text
    EXPECT_FALSE(document.HasChildren());
  }
  {
    // Both tag forms carry both attributes; the start tag also gives the text.
    XmlDocument document(u"Corvane");
    ASSERT_EQ(ParseBody(document,
                        u"<Corvane>\r\n  <a x=\"1\" y=\"2\" />\r\n"
                        u"  <b x=\"1\" y=\"2\">  text  </b>\r\n</Corvane>\r\n"),
              0);
    const XmlNode& a = document.FindChild(u"a");
    const XmlNode& b = document.FindChild(u"b");
    EXPECT_EQ(a.GetAttribute(u"x"), u"1");
    EXPECT_EQ(a.GetAttribute(u"y"), u"2");
    EXPECT_EQ(b.GetAttribute(u"x"), u"1");
    EXPECT_EQ(b.GetAttribute(u"y"), u"2");
    EXPECT_EQ(b.GetText(), u"text");
  }
  {
    // Text after a child, after an end tag or before the root is dropped; a
    // repeated attribute keeps the last value; unknown entities stay.
    XmlDocument document(u"Corvane");
    ASSERT_EQ(ParseBody(document,
                        u"before<Corvane><a>first<b />after</a>between<c v=\"1\" v=\"2\">"
                        u"&apos;&#65;</c></Corvane>after"),
              0);
    EXPECT_EQ(document.FindChild(u"a").GetText(), u"first");
    EXPECT_EQ(document.FindChild(u"c").GetAttribute(u"v"), u"2");
    EXPECT_EQ(document.FindChild(u"c").GetText(), u"&apos;&#65;");
    EXPECT_FALSE(document.HasText());
  }
  {
    // The name ends at the first space only; a tab belongs to the name.
    XmlDocument document(u"Corvane");
    ASSERT_EQ(ParseBody(document, u"<Corvane><a\tb /></Corvane>"), 0);
    EXPECT_EQ(document.GetChild(0).GetName(), u"a\tb");
  }
  {
    // The root's own name may appear inside a child; an empty-element tag of
    // an element's own name inside it is harmless.
    XmlDocument document(u"Corvane");
    ASSERT_EQ(ParseBody(document, u"<Corvane><a><Corvane></Corvane><a /></a></Corvane>"), 0);
    EXPECT_TRUE(document.FindChild(u"a").FindChild(u"Corvane").IsValid());
    EXPECT_TRUE(document.FindChild(u"a").FindChild(u"a").IsValid());
  }
  {
    // Attributes and text of the root element are kept, so whatever the
    // writer produces reads back.
    XmlDocument document(u"Corvane");
    ASSERT_EQ(ParseBody(document, u"<Corvane v=\"1\">t<a /></Corvane>"), 0);
    EXPECT_EQ(document.GetAttribute(u"v"), u"1");
    EXPECT_EQ(document.GetText(), u"t");
  }
  {
    // An odd last byte is ignored.
    XmlDocument document(u"Corvane");
    EXPECT_EQ(ParseImage(document, XmlImage(u"<Corvane></Corvane>") + "x"), 0);
  }
}

TEST(XmlReaderHostile, TruncatedImagesNeverParseAsTheWhole) {
  const std::string image = XmlImage(u"<Corvane>\r\n  <a x=\"1\">t</a>\r\n</Corvane>");
  // Every cut that loses a character of the final end tag is rejected; cuts
  // in the middle of a code unit included.
  const size_t end_of_root = image.size();
  for (size_t size = 0; size < end_of_root; ++size) {
    const std::string cut = image.substr(0, size);
    XmlDocument document(u"Corvane");
    const int32_t result = ParseImage(document, cut);
    EXPECT_EQ(result, -1) << "size " << size;
  }
}

TEST(XmlReaderHostile, TenMegabytesOfNestingAreRejectedWithoutRecursion) {
  // Distinct names, so only the depth limit stops it; every element is closed.
  const auto append_name = [](std::u16string& out, size_t i) {
    out += u'e';
    for (int shift = 20; shift >= 0; shift -= 4) out += u"0123456789abcdef"[(i >> shift) & 15];
  };
  std::u16string deep = u"<Corvane>";
  deep.reserve(11u * 1024 * 1024 / 2);
  size_t n = 0;
  for (; deep.size() < 5u * 1024 * 1024 / 2; ++n) {
    deep += u'<';
    append_name(deep, n);
    deep += u'>';
  }
  for (size_t i = n; i-- > 0;) {
    deep += u"</";
    append_name(deep, i);
    deep += u'>';
  }
  deep += u"</Corvane>";
  ASSERT_GE(deep.size() * 2, 10u * 1024 * 1024);
  XmlDocument document(u"Corvane");
  EXPECT_EQ(ParseBody(document, deep), -1);

  // The same name nested without end tags, and with them.
  const auto repeat = [](std::u16string_view unit, size_t count) {
    std::u16string out(unit.size() * count, u'\0');
    for (size_t i = 0; i < out.size(); ++i) out[i] = unit[i % unit.size()];
    return out;
  };
  const size_t count = 5u * 1024 * 1024 / 3;
  const std::u16string same = repeat(u"<a>", count);
  XmlDocument unclosed(u"Corvane");
  EXPECT_EQ(ParseBody(unclosed, u"<Corvane>" + same + u"</Corvane>"), -1);
  const std::u16string ends = repeat(u"</a>", count);
  XmlDocument closed(u"Corvane");
  EXPECT_EQ(ParseBody(closed, u"<Corvane>" + same + ends + u"</Corvane>"), -1);
}

TEST(XmlReaderHostile, ImagesBeyondTheSizeLimitAreRejected) {
  // Text after the root is dropped, so only the size decides.
  std::string image = XmlImage(u"<Corvane></Corvane>");
  image.resize(XmlDocument::kMaxFileSize, 'x');
  XmlDocument at_limit(u"Corvane");
  EXPECT_EQ(ParseImage(at_limit, image), 0);
  image += "xx";
  XmlDocument beyond(u"Corvane");
  EXPECT_EQ(ParseImage(beyond, image), -1);
}

std::u16string Nested(int depth) {
  std::u16string open, close;
  for (int i = 0; i < depth; ++i) {
    const std::u16string name = u"n" + std::u16string(1, static_cast<char16_t>(0x100 + i));
    open += u"<" + name + u">";
    close = u"</" + name + u">" + close;
  }
  return open + close;
}

TEST(XmlReaderHostile, DepthLimitCountsTheRootAsOneLevel) {
  XmlDocument at_limit(u"Corvane");
  EXPECT_EQ(ParseBody(at_limit, Nested(XmlDocument::kMaxDepth)), 0);
  XmlDocument copy(u"Corvane");
  EXPECT_EQ(ParseImage(copy, at_limit.ToBytes()), 0);  // writes and reads back
  XmlDocument beyond(u"Corvane");
  EXPECT_EQ(ParseBody(beyond, Nested(XmlDocument::kMaxDepth + 1)), -1);
}

TEST(XmlReaderHostile, RandomAndMutatedImagesGiveZeroOrMinusOne) {
  std::mt19937 random(20261209);
  const std::string valid = XmlImage(
      u"<Corvane>\r\n  <General>\r\n    <KeepLogs>14</KeepLogs>\r\n    <LogFolder text=\"a&amp;b\" "
      u"/>"
      u"\r\n  </General>\r\n  <Logs>\r\n    <List>\r\n      <ListItem text=\"x\" />\r\n"
      u"    </List>\r\n  </Logs>\r\n</Corvane>\r\n");
  const char16_t alphabet[] = u"<>/=\" \r\nab&;";
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string image = valid;
    const int edits = 1 + static_cast<int>(random() % 6);
    for (int e = 0; e < edits; ++e) {
      const size_t at = 80 + random() % (image.size() - 80);
      switch (random() % 4) {
        case 0: image[at] = static_cast<char>(random()); break;
        case 1: image.erase(at, 1 + random() % 8); break;
        case 2: {
          const char16_t c = alphabet[random() % (sizeof(alphabet) / 2 - 1)];
          image.insert(at & ~size_t{1}, Utf16LeBytes(std::u16string(1, c)));
          break;
        }
        default: image.resize(at); break;
      }
      if (image.size() <= 80) break;
    }
    XmlDocument document(u"Corvane");
    const int32_t result = ParseImage(document, image);
    ASSERT_TRUE(result == 0 || result == -1) << result;
    if (result == 0) {
      ++accepted;
      document.BuildIndex();
      (void)document.ToBytes();
    }
  }
  for (int round = 0; round < 300; ++round) {
    std::string image = valid.substr(0, 80);
    const size_t length = random() % 400;
    for (size_t i = 0; i < length; ++i) {
      image += (random() % 3 == 0) ? static_cast<char>(random())
                                   : static_cast<char>(alphabet[random() % 12]);
    }
    const int32_t result = ParseBytes(image);
    ASSERT_TRUE(result == 0 || result == -1) << result;
  }
  EXPECT_GT(accepted, 0);  // the mutations also exercise the building of trees
}

}  // namespace
}  // namespace cvn
