// XML documents through the MSXML DOM (COM). These functions are the only
// code that touches the DOM; everything else holds documents, nodes and
// elements as the reference-counted handles below and passes them back in.
//
// Every function either succeeds or throws from the CExc family: a CComExc
// with the failing call's HRESULT, or a plain CExc where no COM call failed.
// Callers add their own context line on top.
//
// COM must be initialised on the calling thread. The documents are created
// in the process's apartment; a document may be used from any thread of that
// apartment, but by one thread at a time.
//
// Navigation walks child lists and compares names; it never runs XPath or
// XSL patterns (an invalid pattern crashes some MSXML builds).
#pragma once

#include "base/com_ptr.h"
#include "base/win.h"

#include <msxml2.h>

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

using CXmlDocument = CComPtr<IXMLDOMDocument>;
using CXmlNode = CComPtr<IXMLDOMNode>;        // any node: a document or an element
using CXmlElement = CComPtr<IXMLDOMElement>;  // converts to CXmlNode
using CXmlElementList = std::vector<CXmlElement>;

constexpr std::size_t kXmlNoLimit = std::numeric_limits<std::size_t>::max();

// A new, empty document: the version-independent DOMDocument class first,
// then DOMDocument 6.0.
CXmlDocument CreateXmlDocument();
// A new document loaded from text, with DTD validation on parse set to
// `validate`. Text that is not well-formed throws a CComExc with code
// E_INVALIDARG; the message quotes the whole text.
CXmlDocument ParseXmlString(const std::wstring& text, bool validate);

// The document as a node, the starting point for navigation.
CXmlNode GetDocumentNode(const CXmlDocument& document);
// The document that owns the node; for a document node, the document itself.
// Compare documents by content, not by pointer: MSXML builds differ in which
// object they return.
CXmlDocument GetOwnerDocument(const CXmlNode& node);

// Creates an element through the parent's owner document and appends it as
// the parent's last child. On failure nothing is added to the document.
CXmlElement CreateChildElement(const CXmlNode& parent, const std::wstring& tag);

// Direct children of `node` whose name equals `tag` ignoring letter case, in
// document order, at most `maxCount` of them. Text, comments and other
// non-matching children are skipped; the search does not descend.
CXmlElementList GetChildElements(const CXmlNode& node, const std::wstring& tag,
                                 std::size_t maxCount = kXmlNoLimit);
// The first matching child; throws CExc (E_FAIL) when there is none.
CXmlElement GetChildElement(const CXmlNode& node, const std::wstring& tag);

// Attribute values are stored as text. Set creates a missing attribute.
// Get of a missing attribute throws a CComExc with code S_FALSE (1): callers
// that treat an attribute as optional catch it.
void SetAttributeText(const CXmlElement& element, const std::wstring& name, const std::wstring& text);
std::wstring GetAttributeText(const CXmlElement& element, const std::wstring& name);
// "true" / "false"; reading gives true only for "true" in any letter case.
void SetBoolAttribute(const CXmlElement& element, const std::wstring& name, bool value);
bool GetBoolAttribute(const CXmlElement& element, const std::wstring& name);
// Decimal text; reading uses ParseInt (leading digits, trailing text ignored).
void SetIntAttribute(const CXmlElement& element, const std::wstring& name, long value);
long GetIntAttribute(const CXmlElement& element, const std::wstring& name);

// The node and everything under it as XML text, for diagnostics.
std::wstring GetXmlText(const CXmlNode& node);
