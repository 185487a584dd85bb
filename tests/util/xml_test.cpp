#include "util/xml.h"

#include "util/exc.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// The CExc that fn throws (a copy of its dynamic type), or null.
std::shared_ptr<CExc> ThrownBy(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const CExc& e) {
    return e.Clone();
  }
  return nullptr;
}

bool IsComExc(const std::shared_ptr<CExc>& e) { return dynamic_cast<const CComExc*>(e.get()) != nullptr; }

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The COM cause line closes the list: "COM error: <description> Code: 0x..".
// Descriptions come from the platform and are not compared.
void ExpectComCause(const CExc& e, const std::wstring& code) {
  ASSERT_FALSE(e.GetMessages().empty());
  const std::wstring& cause = e.GetMessages().back();
  EXPECT_EQ(cause.rfind(L"COM error: ", 0), 0u) << cause;
  EXPECT_TRUE(EndsWith(cause, L" Code: " + code)) << cause;
}

CXmlElement RootOf(const CXmlDocument& document, const std::wstring& tag) {
  return GetChildElement(GetDocumentNode(document), tag);
}

std::vector<std::wstring> AttributeOfEach(const CXmlElementList& elements, const std::wstring& name) {
  std::vector<std::wstring> values;
  for (const CXmlElement& element : elements) values.push_back(GetAttributeText(element, name));
  return values;
}

using Texts = std::vector<std::wstring>;

TEST(XmlDocument, ParsesTextAndReadsAttributesOfNestedElements) {
  const CXmlDocument document =
      ParseXmlString(L"<Root version=\"2\"><Child name=\"first\"/><Child name=\"second\"/></Root>", false);
  const CXmlElement root = RootOf(document, L"Root");
  EXPECT_EQ(GetAttributeText(root, L"version"), L"2");
  EXPECT_EQ(AttributeOfEach(GetChildElements(root, L"Child"), L"name"), (Texts{L"first", L"second"}));
}

TEST(XmlDocument, TextThatIsNotWellFormedFailsWithInvalidArgAndTheWholeText) {
  for (const std::wstring text : {L"", L"<root><a></root>", L"<x", L"plain text", L"<a/><b/>"}) {
    SCOPED_TRACE(testing::Message() << "text: [" << std::string(text.begin(), text.end()) << "]");
    const auto e = ThrownBy([&] { ParseXmlString(text, false); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(IsComExc(e));
    EXPECT_EQ(e->GetCode(), static_cast<std::int32_t>(E_INVALIDARG));
    ASSERT_EQ(e->GetMessages().size(), 2u);
    EXPECT_EQ(e->GetMessages().front(), L"Cannot parse XML document. Document: [" + text + L"].");
    ExpectComCause(*e, L"0x80070057");
  }
}

TEST(XmlDocument, ChildMatchingIgnoresCaseSkipsOtherNodesAndStaysAtOneLevel) {
  const CXmlDocument document = ParseXmlString(
      L"<r>text<!--Plugin--><Plugin n=\"1\"/><Other n=\"x\"/><PLUGIN n=\"2\"/>"
      L"<plugin n=\"3\"><Plugin n=\"nested\"/></plugin></r>",
      false);
  const CXmlElement root = RootOf(document, L"R");

  EXPECT_EQ(AttributeOfEach(GetChildElements(root, L"plugin"), L"n"), (Texts{L"1", L"2", L"3"}));
  EXPECT_EQ(AttributeOfEach(GetChildElements(root, L"plugin", 2), L"n"), (Texts{L"1", L"2"}));
  EXPECT_TRUE(GetChildElements(root, L"plugin", 0).empty());
  EXPECT_TRUE(GetChildElements(root, L"plugins").empty());
  EXPECT_EQ(GetAttributeText(GetChildElement(root, L"PLUGIN"), L"n"), L"1");
}

TEST(XmlDocument, MatchingNodeThatIsNotAnElementFailsTheEnumeration) {
  // A processing instruction's name is its target, so it matches the tag.
  const CXmlDocument document = ParseXmlString(L"<r><Plugin/><?Plugin data?></r>", false);
  const CXmlElement root = RootOf(document, L"r");

  const auto e = ThrownBy([&] { GetChildElements(root, L"plugin"); });
  ASSERT_TRUE(e);
  EXPECT_TRUE(IsComExc(e));
  EXPECT_EQ(e->GetCode(), static_cast<std::int32_t>(E_NOINTERFACE));
  ASSERT_EQ(e->GetMessages().size(), 3u);
  EXPECT_EQ(e->GetMessages()[0], L"Cannot enumerated child nodes having the specified tag [plugin].");
  EXPECT_EQ(e->GetMessages()[1], L"The given XML node does not support the IXMLDOMElement interface.");
  ExpectComCause(*e, L"0x80004002");

  // The first match is found before the enumeration reaches the instruction.
  EXPECT_NO_THROW(GetChildElement(root, L"plugin"));
}

TEST(XmlDocument, MissingChildFailsWithTheTagAndEFail) {
  const CXmlDocument document = ParseXmlString(L"<r><a/></r>", false);
  const auto e = ThrownBy([&] { GetChildElement(RootOf(document, L"r"), L"zzz"); });
  ASSERT_TRUE(e);
  EXPECT_FALSE(IsComExc(e));
  EXPECT_EQ(e->GetCode(), static_cast<std::int32_t>(E_FAIL));
  EXPECT_EQ(e->GetMessages(), std::deque<std::wstring>{L"There is no child nodes with name [zzz]."});
}

TEST(XmlDocument, BuiltDocumentSurvivesTextRoundTrip) {
  const CXmlDocument built = CreateXmlDocument();
  const CXmlElement root = CreateChildElement(GetDocumentNode(built), L"Config");
  SetAttributeText(root, L"Name", L"a&b <\"quoted\"> 'x' \u00fc");
  SetAttributeText(root, L"Empty", L"");
  for (const wchar_t* name : {L"one", L"two", L"three"}) {
    SetAttributeText(CreateChildElement(root, L"Item"), L"Name", name);
  }
  CreateChildElement(root, L"Other");

  const CXmlDocument reloaded = ParseXmlString(GetXmlText(GetDocumentNode(built)), false);
  const CXmlElement reloadedRoot = RootOf(reloaded, L"Config");
  EXPECT_EQ(GetAttributeText(reloadedRoot, L"Name"), L"a&b <\"quoted\"> 'x' \u00fc");
  EXPECT_EQ(GetAttributeText(reloadedRoot, L"Empty"), L"");
  EXPECT_EQ(AttributeOfEach(GetChildElements(reloadedRoot, L"item"), L"Name"), (Texts{L"one", L"two", L"three"}));
  EXPECT_EQ(GetChildElements(reloadedRoot, L"Other").size(), 1u);
}

TEST(XmlDocument, ElementsCreatedThroughTheOwnerLandInTheSameDocument) {
  const CXmlDocument document = CreateXmlDocument();
  const CXmlNode documentNode = GetDocumentNode(document);
  const CXmlElement root = CreateChildElement(documentNode, L"Root");
  const CXmlElement child = CreateChildElement(root, L"Child");
  CreateChildElement(child, L"Grandchild");

  // The owner may be another object for the same document: compare content.
  for (const CXmlNode& node : {documentNode, CXmlNode(root), CXmlNode(child)}) {
    const CXmlDocument owner = GetOwnerDocument(node);
    ASSERT_TRUE(owner);
    EXPECT_EQ(GetXmlText(GetDocumentNode(owner)), GetXmlText(documentNode));
  }
  EXPECT_EQ(GetChildElements(GetChildElement(root, L"child"), L"grandchild").size(), 1u);
}

TEST(XmlDocument, RejectedElementNameLeavesTheDocumentUnchanged) {
  const CXmlDocument document = ParseXmlString(L"<r><a/></r>", false);
  const CXmlElement root = RootOf(document, L"r");
  const std::wstring before = GetXmlText(GetDocumentNode(document));

  const auto e = ThrownBy([&] { CreateChildElement(root, L""); });
  ASSERT_TRUE(e);
  EXPECT_TRUE(IsComExc(e));
  ASSERT_EQ(e->GetMessages().size(), 2u);
  EXPECT_EQ(e->GetMessages().front(), L"Cannot create a child element. Element name: [].");
  EXPECT_EQ(e->GetMessages().back().rfind(L"COM error: ", 0), 0u);
  EXPECT_LT(e->GetCode(), 0);
  EXPECT_EQ(GetXmlText(GetDocumentNode(document)), before);
}

TEST(XmlAttributes, MissingAttributeFailsWithCodeOne) {
  const CXmlDocument document = ParseXmlString(L"<r present=\"\"/>", false);
  const CXmlElement root = RootOf(document, L"r");
  EXPECT_EQ(GetAttributeText(root, L"present"), L"");

  const auto e = ThrownBy([&] { GetAttributeText(root, L"missing"); });
  ASSERT_TRUE(e);
  EXPECT_TRUE(IsComExc(e));
  EXPECT_EQ(e->GetCode(), 1);
  ASSERT_EQ(e->GetMessages().size(), 2u);
  EXPECT_EQ(e->GetMessages().front(), L"Cannot get a raw value of the attribute [missing].");
  ExpectComCause(*e, L"0x1");
}

TEST(XmlAttributes, BoolIsTrueOnlyForTrueInAnyLetterCase) {
  struct Case {
    const wchar_t* text;
    bool expected;
  };
  const Case cases[] = {{L"true", true},  {L"TRUE", true},   {L"True", true},  {L"tRuE", true},
                        {L"false", false}, {L"1", false},     {L"yes", false},  {L"", false},
                        {L"true ", false}, {L" true", false}, {L"truee", false}};
  const CXmlDocument document = ParseXmlString(L"<r/>", false);
  const CXmlElement root = RootOf(document, L"r");
  for (const Case& c : cases) {
    SetAttributeText(root, L"flag", c.text);
    EXPECT_EQ(GetBoolAttribute(root, L"flag"), c.expected) << std::string(c.text, c.text + wcslen(c.text));
  }
  SetBoolAttribute(root, L"flag", false);
  EXPECT_EQ(GetAttributeText(root, L"flag"), L"false");
  SetBoolAttribute(root, L"flag", true);
  EXPECT_EQ(GetAttributeText(root, L"flag"), L"true");
}

TEST(XmlAttributes, IntReadsLeadingDigitsAndNamesTheAttributeOnFailure) {
  const CXmlDocument document = ParseXmlString(L"<r n=\"abc\"/>", false);
  const CXmlElement root = RootOf(document, L"r");

  const auto notANumber = ThrownBy([&] { GetIntAttribute(root, L"n"); });
  ASSERT_TRUE(notANumber);
  EXPECT_EQ(notANumber->GetCode(), static_cast<std::int32_t>(E_FAIL));
  EXPECT_EQ(notANumber->GetMessages(),
            (std::deque<std::wstring>{L"Cannot get the value of integer XML attribute. Attribute name: [n].",
                                      L"Cannot unserialize a string value to integer. String: [abc]."}));

  const auto missing = ThrownBy([&] { GetIntAttribute(root, L"m"); });
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->GetCode(), 1);
  ASSERT_EQ(missing->GetMessages().size(), 3u);
  EXPECT_EQ(missing->GetMessages()[0], L"Cannot get the value of integer XML attribute. Attribute name: [m].");
  EXPECT_EQ(missing->GetMessages()[1], L"Cannot get a raw value of the attribute [m].");

  SetIntAttribute(root, L"n", -7);  // replaces "abc"
  EXPECT_EQ(GetAttributeText(root, L"n"), L"-7");
  EXPECT_EQ(GetIntAttribute(root, L"n"), -7);
  SetAttributeText(root, L"n", L" 12abc");
  EXPECT_EQ(GetIntAttribute(root, L"n"), 12);
}

TEST(XmlDocument, EmptyHandlesFailInsteadOfCrashing) {
  const std::vector<std::function<void()>> calls = {
      [] { GetDocumentNode(CXmlDocument()); },
      [] { GetOwnerDocument(CXmlNode()); },
      [] { CreateChildElement(CXmlNode(), L"a"); },
      [] { GetChildElements(CXmlNode(), L"a"); },
      [] { GetChildElement(CXmlNode(), L"a"); },
      [] { GetAttributeText(CXmlElement(), L"a"); },
      [] { SetAttributeText(CXmlElement(), L"a", L"b"); },
      [] { GetXmlText(CXmlNode()); },
  };
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto e = ThrownBy(calls[i]);
    ASSERT_TRUE(e) << "call " << i;
    EXPECT_EQ(e->GetCode(), static_cast<std::int32_t>(E_POINTER)) << "call " << i;
  }
}

}  // namespace
