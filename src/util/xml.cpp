#include "util/xml.h"

#include "base/bstr.h"
#include "base/exc.h"
#include "base/msg.h"

#include <oleauto.h>

#include <new>
#include <utility>

namespace {

// The version-independent DOMDocument class, tried first.
constexpr CLSID kClsidDomDocument = {0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
// DOMDocument 6.0, for systems where the first is not registered.
constexpr CLSID kClsidDomDocument60 = {0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
constexpr IID kIidXmlDomDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr IID kIidXmlDomNode = {0x2933BF80, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr IID kIidXmlDomElement = {0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

class CVariant {
 public:
  CVariant() { ::VariantInit(&m_value); }
  ~CVariant() { ::VariantClear(&m_value); }
  CVariant(const CVariant&) = delete;
  CVariant& operator=(const CVariant&) = delete;

  const VARIANT& Get() const { return m_value; }
  VARIANT* Receive() {
    ::VariantClear(&m_value);
    return &m_value;
  }

 private:
  VARIANT m_value;
};

// A call that reports success without handing out the object has failed too.
// `out` is taken by reference so that it is read after the call has run.
template <class T>
HRESULT ResultOf(HRESULT hr, const CComPtr<T>& out) {
  return SUCCEEDED(hr) && !out ? E_POINTER : hr;
}

bool EqualIgnoringAsciiCase(const std::wstring& a, const wchar_t* b) {
  auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
  std::size_t i = 0;
  for (; i < a.size() && b[i] != L'\0'; ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return i == a.size() && b[i] == L'\0';
}

}  // namespace

CXmlDocument CreateXmlDocument() {
  CXmlDocument document;
  HRESULT hr = ::CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_SERVER, kIidXmlDomDocument,
                                  document.ReceiveVoid());
  if (SUCCEEDED(ResultOf(hr, document))) return document;
  hr = ResultOf(::CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_SERVER, kIidXmlDomDocument,
                                   document.ReceiveVoid()),
                document);
  if (FAILED(hr)) throw CComExc(L"Cannot create XML document.", hr);
  return document;
}

CXmlDocument ParseXmlString(const std::wstring& text, bool validate) {
  CXmlDocument document = CreateXmlDocument();
  HRESULT hr = document->put_validateOnParse(validate ? VARIANT_TRUE : VARIANT_FALSE);
  if (FAILED(hr)) throw CComExc(L"Cannot disable/enable validation of a XML document against DTD schema.", hr);

  const CBstr source(text);
  VARIANT_BOOL loaded = VARIANT_FALSE;
  hr = document->loadXML(source.Get(), &loaded);
  if (FAILED(hr)) throw CComExc(L"Failed to parse XML document. Document: [%1].", text, hr);
  // Text that is not well-formed comes back as S_FALSE with the flag cleared,
  // not as a failed call.
  if (loaded != VARIANT_TRUE) throw CComExc(L"Cannot parse XML document. Document: [%1].", text, E_INVALIDARG);
  return document;
}

CXmlNode GetDocumentNode(const CXmlDocument& document) {
  static const wchar_t kMessage[] = L"Cannot  query the IXmlDomNode interface at the given IXmlDomDocument object.";
  if (!document) throw CComExc(kMessage, E_POINTER);
  CXmlNode node;
  const HRESULT hr = ResultOf(document->QueryInterface(kIidXmlDomNode, node.ReceiveVoid()), node);
  if (FAILED(hr)) throw CComExc(kMessage, hr);
  return node;
}

CXmlDocument GetOwnerDocument(const CXmlNode& node) {
  static const wchar_t kMessage[] = L"The owner of a XML elemen cannot be retrieved.";
  if (!node) throw CComExc(kMessage, E_POINTER);
  CXmlDocument owner;
  const HRESULT ownerHr = node->get_ownerDocument(owner.Receive());
  if (SUCCEEDED(ownerHr) && owner) return owner;
  // A document node has no owner (some MSXML builds still return a second
  // object for the same document); the node is then the document itself.
  // When it is not, the failure carries the result of the owner call, which
  // says more than the refused interface.
  if (FAILED(ResultOf(node->QueryInterface(kIidXmlDomDocument, owner.ReceiveVoid()), owner))) {
    throw CComExc(kMessage, ownerHr);
  }
  return owner;
}

CXmlElement CreateChildElement(const CXmlNode& parent, const std::wstring& tag) {
  try {
    const CXmlDocument owner = GetOwnerDocument(parent);
    const CBstr name(tag);
    CXmlElement element;
    HRESULT hr = ResultOf(owner->createElement(name.Get(), element.Receive()), element);
    if (FAILED(hr)) throw CComExc(hr);
    CXmlNode appended;
    hr = parent->appendChild(element.Get(), appended.Receive());
    if (FAILED(hr)) throw CComExc(L"Cannot append a node to the child element list.", hr);
    return element;
  } catch (CExc& e) {
    e.AddContext(L"Cannot create a child element. Element name: [%1].", tag);
    throw;
  }
}

CXmlElementList GetChildElements(const CXmlNode& node, const std::wstring& tag, std::size_t maxCount) {
  try {
    static const wchar_t kNoChildList[] = L"Cannot get a collection of child nodes for the given element.";
    if (!node) throw CComExc(kNoChildList, E_POINTER);
    CComPtr<IXMLDOMNodeList> children;
    HRESULT hr = ResultOf(node->get_childNodes(children.Receive()), children);
    if (FAILED(hr)) throw CComExc(kNoChildList, hr);

    long length = 0;
    hr = children->get_length(&length);
    if (FAILED(hr)) throw CComExc(L"Cannot get the dimensions of a container with XML nodes.", hr);

    CXmlElementList result;
    for (long i = 0; i < length && result.size() < maxCount; ++i) {
      CXmlNode item;
      hr = ResultOf(children->get_item(i, item.Receive()), item);
      if (FAILED(hr)) {
        throw CComExc(L"Cannot retrieve  a XML element  from the child nodes collection by the specified index [%1].",
                      DecText(i), hr);
      }
      CBstr name;
      hr = item->get_nodeName(name.Receive());
      if (FAILED(hr)) throw CComExc(L"Cannot get a node's name.", hr);
      if (!EqualNoCase(name.Text(), tag)) continue;

      CXmlElement element;
      hr = ResultOf(item->QueryInterface(kIidXmlDomElement, element.ReceiveVoid()), element);
      if (FAILED(hr)) throw CComExc(L"The given XML node does not support the IXMLDOMElement interface.", hr);
      result.push_back(std::move(element));
    }
    return result;
  } catch (CExc& e) {
    e.AddContext(L"Cannot enumerated child nodes having the specified tag [%1].", tag);
    throw;
  }
}

CXmlElement GetChildElement(const CXmlNode& node, const std::wstring& tag) {
  CXmlElementList elements = GetChildElements(node, tag, 1);
  if (elements.empty()) throw CExc(L"There is no child nodes with name [%1].", tag, E_FAIL);
  return std::move(elements.front());
}

void SetAttributeText(const CXmlElement& element, const std::wstring& name, const std::wstring& text) {
  static const wchar_t kMessage[] = L"Cannot set a value of the attribute [%1].";
  if (!element) throw CComExc(kMessage, name, E_POINTER);
  const CBstr attributeName(name);
  const CBstr attributeText(text);
  VARIANT value;
  ::VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = attributeText.Get();  // still owned by attributeText
  const HRESULT hr = element->setAttribute(attributeName.Get(), value);
  if (FAILED(hr)) throw CComExc(kMessage, name, hr);
}

std::wstring GetAttributeText(const CXmlElement& element, const std::wstring& name) {
  static const wchar_t kMessage[] = L"Cannot get a raw value of the attribute [%1].";
  if (!element) throw CComExc(kMessage, name, E_POINTER);
  const CBstr attributeName(name);
  CVariant value;
  // A missing attribute is S_FALSE with a null value: a failure here.
  const HRESULT hr = element->getAttribute(attributeName.Get(), value.Receive());
  if (hr != S_OK) throw CComExc(kMessage, name, hr);
  const VARIANT& v = value.Get();
  if (v.vt != VT_BSTR) {
    throw CExc(L"Unexpected type of a XML attribute. Attribute name: [%1]. Attribute type: [%2].", name,
               DecText(v.vt), E_FAIL);
  }
  return v.bstrVal ? std::wstring(v.bstrVal, ::SysStringLen(v.bstrVal)) : std::wstring();
}

void SetBoolAttribute(const CXmlElement& element, const std::wstring& name, bool value) {
  SetAttributeText(element, name, BoolText(value));
}

bool GetBoolAttribute(const CXmlElement& element, const std::wstring& name) {
  return EqualIgnoringAsciiCase(GetAttributeText(element, name), L"true");
}

void SetIntAttribute(const CXmlElement& element, const std::wstring& name, long value) {
  SetAttributeText(element, name, DecText(value));
}

long GetIntAttribute(const CXmlElement& element, const std::wstring& name) {
  try {
    return ParseInt(GetAttributeText(element, name));
  } catch (CExc& e) {
    e.AddContext(L"Cannot get the value of integer XML attribute. Attribute name: [%1].", name);
    throw;
  }
}

std::wstring GetXmlText(const CXmlNode& node) {
  static const wchar_t kMessage[] = L"Cannot get the XML text of a node.";
  if (!node) throw CComExc(kMessage, E_POINTER);
  CBstr text;
  const HRESULT hr = node->get_xml(text.Receive());
  if (FAILED(hr)) throw CComExc(kMessage, hr);
  return text.Text();
}
