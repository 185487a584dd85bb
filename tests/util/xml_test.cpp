#include "util/xml.h"

#include "base/exc.h"
#include "base/msg.h"

#include "exc_checks.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <deque>
#include <string>
#include <vector>

namespace {

using testing_support::CatchExc;
using testing_support::IsCauseLine;

using Texts = std::vector<std::wstring>;

CXmlElement RootOf(const CXmlDocument& document, const std::wstring& tag) {
  return GetChildElement(GetDocumentNode(document), tag);
}

Texts AttributeOfEach(const CXmlElementList& elements, const std::wstring& name) {
  Texts values;
  for (const CXmlElement& element : elements) values.push_back(GetAttributeText(element, name));
  return values;
}

TEST(XmlDocument, TextThatIsNotWellFormedFailsWithInvalidArgAndTheWholeText) {
  for (const std::wstring text : {L"", L"<root><a></root>", L"<x", L"plain text", L"<a/><b/>"}) {
    const auto e = CatchExc<CComExc>([&] { ParseXmlString(text, false); });
    ASSERT_TRUE(e);
    EXPECT_EQ(static_cast<std::int32_t>(E_INVALIDARG), e->GetCode());
    ASSERT_EQ(2u, e->GetMessages().size());
    EXPECT_EQ(L"Cannot parse XML document. Document: [" + text + L"].", e->GetMessages().front());
    EXPECT_TRUE(IsCauseLine(e->GetMessages().back(), L"COM", L"0x80070057"));
  }
}

TEST(XmlDocument, ChildMatchingIgnoresCaseSkipsOtherNodesAndStaysAtOneLevel) {
  const CXmlDocument document = ParseXmlString(
      L"<r>text<!--Plugin--><Plugin n=\"1\"/><Other n=\"x\"/><PLUGIN n=\"2\"/>"
      L"<plugin n=\"3\"><Plugin n=\"nested\"/></plugin></r>",
      false);
  const CXmlElement root = RootOf(document, L"R");
  EXPECT_EQ((Texts{L"1", L"2", L"3"}), AttributeOfEach(GetChildElements(root, L"plugin"), L"n"));
  EXPECT_EQ((Texts{L"1", L"2"}), AttributeOfEach(GetChildElements(root, L"plugin", 2), L"n"));
  EXPECT_TRUE(GetChildElements(root, L"plugin", 0).empty());
  EXPECT_TRUE(GetChildElements(root, L"plugins").empty());
  EXPECT_EQ(L"1", GetAttributeText(GetChildElement(root, L"PLUGIN"), L"n"));

  const auto missing = CatchExc([&] { GetChildElement(root, L"zzz"); });
  ASSERT_TRUE(missing);
  EXPECT_EQ(static_cast<std::int32_t>(E_FAIL), missing->GetCode());
  EXPECT_EQ(std::deque<std::wstring>{L"There is no child nodes with name [zzz]."}, missing->GetMessages());
}

TEST(XmlDocument, BuiltDocumentSurvivesTextRoundTripAndRejectedNamesLeaveNoTrace) {
  const CXmlDocument built = CreateXmlDocument();
  const CXmlElement root = CreateChildElement(GetDocumentNode(built), L"Config");
  SetAttributeText(root, L"Name", L"a&b <\"quoted\"> 'x' \u00fc");
  SetAttributeText(root, L"Empty", L"");
  for (const wchar_t* name : {L"one", L"two", L"three"}) {
    SetAttributeText(CreateChildElement(root, L"Item"), L"Name", name);
  }
  const CXmlElement other = CreateChildElement(root, L"Other");
  CreateChildElement(other, L"Deeper");
  const std::wstring text = GetXmlText(GetDocumentNode(built));
  const auto e = CatchExc<CComExc>([&] { CreateChildElement(other, L""); });
  ASSERT_TRUE(e);
  EXPECT_LT(e->GetCode(), 0);
  ASSERT_EQ(2u, e->GetMessages().size());
  EXPECT_EQ(L"Cannot create a child element. Element name: [].", e->GetMessages().front());
  EXPECT_TRUE(IsCauseLine(e->GetMessages().back(), L"COM", HexText(static_cast<std::uint32_t>(e->GetCode()))));
  EXPECT_EQ(text, GetXmlText(GetDocumentNode(built)));

  const CXmlDocument reparsed = ParseXmlString(text, false);
  const CXmlElement reloaded = RootOf(reparsed, L"Config");
  EXPECT_EQ(L"a&b <\"quoted\"> 'x' \u00fc", GetAttributeText(reloaded, L"Name"));
  EXPECT_EQ(L"", GetAttributeText(reloaded, L"Empty"));
  EXPECT_EQ((Texts{L"one", L"two", L"three"}), AttributeOfEach(GetChildElements(reloaded, L"item"), L"Name"));
  EXPECT_EQ(1u, GetChildElements(GetChildElement(reloaded, L"other"), L"deeper").size());
}

TEST(XmlAttributes, TypedValuesAreReadAsDocumented) {
  const struct {
    const wchar_t* text;
    bool expected;
  } cases[] = {{L"tRuE", true}, {L"false", false}, {L"1", false}, {L"true ", false}, {L"truee", false}};
  const CXmlDocument document = ParseXmlString(L"<r/>", false);
  const CXmlElement root = RootOf(document, L"r");
  for (const auto& c : cases) {  // a flag is true only for "true" in any letter case
    SetAttributeText(root, L"flag", c.text);
    EXPECT_EQ(c.expected, GetBoolAttribute(root, L"flag")) << std::string(c.text, c.text + wcslen(c.text));
  }
  SetBoolAttribute(root, L"flag", false);
  EXPECT_EQ(L"false", GetAttributeText(root, L"flag"));
  SetBoolAttribute(root, L"flag", true);
  EXPECT_EQ(L"true", GetAttributeText(root, L"flag"));

  // Numbers: leading digits count (text that is no number: the ports
  // section's test). A missing attribute is a CComExc with code S_FALSE (1),
  // which callers that treat the attribute as optional catch.
  const auto missing = CatchExc<CComExc>([&] { GetIntAttribute(root, L"m"); });
  ASSERT_TRUE(missing);
  EXPECT_EQ(1, missing->GetCode());
  ASSERT_EQ(3u, missing->GetMessages().size());
  EXPECT_EQ(L"Cannot get the value of integer XML attribute. Attribute name: [m].", missing->GetMessages()[0]);
  EXPECT_EQ(L"Cannot get a raw value of the attribute [m].", missing->GetMessages()[1]);
  EXPECT_TRUE(IsCauseLine(missing->GetMessages()[2], L"COM", L"0x1"));

  SetAttributeText(root, L"n", L"abc");
  SetIntAttribute(root, L"n", -7);  // replaces "abc"
  EXPECT_EQ(L"-7", GetAttributeText(root, L"n"));
  SetAttributeText(root, L"n", L" 12abc");
  EXPECT_EQ(12, GetIntAttribute(root, L"n"));
}

}  // namespace
