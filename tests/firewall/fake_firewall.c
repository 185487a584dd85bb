// Firewall objects of the test's own, served for the public firewall class ids by class objects registered in
// this process, so that the code under test gets them from its ordinary CoCreateInstance calls (Wine's own
// objects accept every call and keep nothing). Written in C so that each fake fills only the slots of its
// interface that the code under test calls. Every call reports to FakeFwCall (defined by the test) and returns
// its result: `call` names "<object>.<method>" or "Create <class>", the argument is `text`, or `number` when
// text is null; a getter hands out its object only when the call succeeds.
#define CONST_VTABLE
#include "base/win.h"

#include <initguid.h>
#include <netfw.h>

HRESULT FakeFwCall(const wchar_t* call, const wchar_t* text, long number);
VARIANT_BOOL g_fakeFwAppEnabled = VARIANT_TRUE;  // what an authorized application's get_Enabled answers
volatile LONG g_fakeFwRefs = 0;                  // references handed out and not yet released

static HRESULT Give(const wchar_t* call, const wchar_t* text, long number, void* object, void** out) {
  const HRESULT hr = FakeFwCall(call, text, number);
  *out = SUCCEEDED(hr) ? object : NULL;
  if (SUCCEEDED(hr)) InterlockedIncrement(&g_fakeFwRefs);
  return hr;
}

static HRESULT Query(void* self, REFIID own, REFIID riid, void** out) {
  const BOOL known = IsEqualIID(riid, own) || IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IDispatch);
  *out = known ? self : NULL;
  if (known) InterlockedIncrement(&g_fakeFwRefs);
  return known ? S_OK : E_NOINTERFACE;
}

// One object of interface T named `name`, with the given methods besides IUnknown's.
#define FAKE_OBJECT(T, name, ...)                                                                          \
  static HRESULT STDMETHODCALLTYPE T##Query(T* This, REFIID riid, void** out) {                           \
    return Query(This, &IID_##T, riid, out);                                                               \
  }                                                                                                        \
  static ULONG STDMETHODCALLTYPE T##AddRef(T* This) {                                                     \
    return (void)This, (ULONG)InterlockedIncrement(&g_fakeFwRefs);                                         \
  }                                                                                                        \
  static ULONG STDMETHODCALLTYPE T##Release(T* This) {                                                    \
    return (void)This, (ULONG)InterlockedDecrement(&g_fakeFwRefs);                                         \
  }                                                                                                        \
  static const T##Vtbl name##Vtbl = {.QueryInterface = T##Query, .AddRef = T##AddRef, .Release = T##Release, \
                                     __VA_ARGS__};                                                         \
  static T name = {&name##Vtbl};
// Methods that record their one argument, hand out an object, look one up by its key, or add one.
#define FAKE_TEXT(T, name, call) \
  static HRESULT STDMETHODCALLTYPE name(T* This, BSTR v) { return (void)This, FakeFwCall(call, v, 0); }
#define FAKE_NUMBER(T, name, call, type) \
  static HRESULT STDMETHODCALLTYPE name(T* This, type v) { return (void)This, FakeFwCall(call, NULL, (long)v); }
#define FAKE_GET(T, name, call, R, object)                \
  static HRESULT STDMETHODCALLTYPE name(T* This, R** out) { \
    return (void)This, Give(call, L"", 0, object, (void**)out); \
  }
#define FAKE_ITEM(T, name, call, R, object)                         \
  static HRESULT STDMETHODCALLTYPE name(T* This, BSTR key, R** out) { \
    return (void)This, Give(call, key, 0, object, (void**)out);       \
  }
#define FAKE_ADD(T, name, call, R) \
  static HRESULT STDMETHODCALLTYPE name(T* This, R* item) { return (void)This, (void)item, FakeFwCall(call, L"", 0); }

FAKE_TEXT(INetFwAuthorizedApplication, AppName, L"App.Name")
FAKE_TEXT(INetFwAuthorizedApplication, AppImage, L"App.ProcessImageFileName")
FAKE_NUMBER(INetFwAuthorizedApplication, AppIpVersion, L"App.IpVersion", NET_FW_IP_VERSION)
FAKE_NUMBER(INetFwAuthorizedApplication, AppScope, L"App.Scope", NET_FW_SCOPE)
FAKE_TEXT(INetFwAuthorizedApplication, AppRemote, L"App.RemoteAddresses")
FAKE_NUMBER(INetFwAuthorizedApplication, AppEnabled, L"App.Enabled", VARIANT_BOOL)
static HRESULT STDMETHODCALLTYPE AppGetEnabled(INetFwAuthorizedApplication* This, VARIANT_BOOL* v) {
  *v = g_fakeFwAppEnabled;
  return (void)This, FakeFwCall(L"App.get_Enabled", L"", 0);
}
FAKE_OBJECT(INetFwAuthorizedApplication, g_app, .put_Name = AppName, .put_ProcessImageFileName = AppImage,
            .put_IpVersion = AppIpVersion, .put_Scope = AppScope, .put_RemoteAddresses = AppRemote,
            .get_Enabled = AppGetEnabled, .put_Enabled = AppEnabled)

FAKE_ADD(INetFwAuthorizedApplications, AppsAdd, L"Apps.Add", INetFwAuthorizedApplication)
FAKE_TEXT(INetFwAuthorizedApplications, AppsRemove, L"Apps.Remove")
FAKE_ITEM(INetFwAuthorizedApplications, AppsItem, L"Apps.Item", INetFwAuthorizedApplication, &g_app)
FAKE_OBJECT(INetFwAuthorizedApplications, g_apps, .Add = AppsAdd, .Remove = AppsRemove, .Item = AppsItem)
FAKE_GET(INetFwProfile, ProfileApps, L"Profile.AuthorizedApplications", INetFwAuthorizedApplications, &g_apps)
FAKE_OBJECT(INetFwProfile, g_profile, .get_AuthorizedApplications = ProfileApps)
static HRESULT STDMETHODCALLTYPE PolicyProfile(INetFwPolicy* This, NET_FW_PROFILE_TYPE type, INetFwProfile** out) {
  return (void)This, Give(L"Policy.GetProfileByType", NULL, type, &g_profile, (void**)out);
}
FAKE_OBJECT(INetFwPolicy, g_policy, .GetProfileByType = PolicyProfile)
FAKE_GET(INetFwMgr, MgrPolicy, L"Mgr.LocalPolicy", INetFwPolicy, &g_policy)
FAKE_OBJECT(INetFwMgr, g_mgr, .get_LocalPolicy = MgrPolicy)

FAKE_NUMBER(INetFwRule, RuleEnabled, L"Rule.Enabled", VARIANT_BOOL)
FAKE_NUMBER(INetFwRule, RuleProtocol, L"Rule.Protocol", LONG)
FAKE_NUMBER(INetFwRule, RuleProfiles, L"Rule.Profiles", LONG)
FAKE_NUMBER(INetFwRule, RuleAction, L"Rule.Action", NET_FW_ACTION)
FAKE_TEXT(INetFwRule, RuleName, L"Rule.Name")
FAKE_TEXT(INetFwRule, RuleDescription, L"Rule.Description")
FAKE_TEXT(INetFwRule, RuleApplication, L"Rule.ApplicationName")
FAKE_NUMBER(INetFwRule, RuleDirection, L"Rule.Direction", NET_FW_RULE_DIRECTION)
FAKE_TEXT(INetFwRule, RuleGrouping, L"Rule.Grouping")
FAKE_OBJECT(INetFwRule, g_rule, .put_Enabled = RuleEnabled, .put_Protocol = RuleProtocol,
            .put_Profiles = RuleProfiles, .put_Action = RuleAction, .put_Name = RuleName,
            .put_Description = RuleDescription, .put_ApplicationName = RuleApplication,
            .put_Direction = RuleDirection, .put_Grouping = RuleGrouping)
FAKE_ADD(INetFwRules, RulesAdd, L"Rules.Add", INetFwRule)
FAKE_TEXT(INetFwRules, RulesRemove, L"Rules.Remove")
FAKE_ITEM(INetFwRules, RulesItem, L"Rules.Item", INetFwRule, &g_rule)
FAKE_OBJECT(INetFwRules, g_rules, .Add = RulesAdd, .Remove = RulesRemove, .Item = RulesItem)
FAKE_GET(INetFwPolicy2, Policy2Rules, L"Policy2.Rules", INetFwRules, &g_rules)
FAKE_OBJECT(INetFwPolicy2, g_policy2, .get_Rules = Policy2Rules)

// One class object per class id. COM holds them; they count no references.
typedef struct SFactory {
  const IClassFactoryVtbl* lpVtbl;
  const CLSID* clsid;
  const wchar_t* call;
  IUnknown* object;
  DWORD cookie;
} SFactory;

static HRESULT STDMETHODCALLTYPE FactoryQuery(IClassFactory* This, REFIID riid, void** out) {
  *out = IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IClassFactory) ? This : NULL;
  return *out ? S_OK : E_NOINTERFACE;
}
static ULONG STDMETHODCALLTYPE FactoryCount(IClassFactory* This) { return (void)This, 1; }
static HRESULT STDMETHODCALLTYPE FactoryCreate(IClassFactory* This, IUnknown* outer, REFIID riid, void** out) {
  const SFactory* factory = (const SFactory*)This;
  const HRESULT hr = FakeFwCall(factory->call, L"", 0);
  *out = NULL;
  return (void)outer, FAILED(hr) ? hr : factory->object->lpVtbl->QueryInterface(factory->object, riid, out);
}
static HRESULT STDMETHODCALLTYPE FactoryLock(IClassFactory* This, BOOL lock) { return (void)This, (void)lock, S_OK; }

static const IClassFactoryVtbl kFactoryVtbl = {FactoryQuery, FactoryCount, FactoryCount, FactoryCreate, FactoryLock};
static SFactory g_factories[] = {
    {&kFactoryVtbl, &CLSID_NetFwPolicy2, L"Create NetFwPolicy2", (IUnknown*)&g_policy2, 0},
    {&kFactoryVtbl, &CLSID_NetFwRule, L"Create NetFwRule", (IUnknown*)&g_rule, 0},
    {&kFactoryVtbl, &CLSID_NetFwMgr, L"Create NetFwMgr", (IUnknown*)&g_mgr, 0},
    {&kFactoryVtbl, &CLSID_NetFwAuthorizedApplication, L"Create NetFwAuthorizedApplication", (IUnknown*)&g_app, 0},
};

// Registers (or revokes) the class objects in the calling apartment.
HRESULT RegisterFakeFirewall(BOOL on) {
  for (size_t i = 0; i < sizeof(g_factories) / sizeof(g_factories[0]); ++i) {
    SFactory* factory = &g_factories[i];
    const HRESULT hr = on ? CoRegisterClassObject(factory->clsid, (IUnknown*)factory, CLSCTX_INPROC_SERVER,
                                                  REGCLS_MULTIPLEUSE, &factory->cookie)
                          : CoRevokeClassObject(factory->cookie);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// The class object for `clsid`, for a DLL that serves the fakes to another process.
HRESULT GetFakeFirewallClass(REFCLSID clsid, REFIID riid, void** out) {
  for (size_t i = 0; i < sizeof(g_factories) / sizeof(g_factories[0]); ++i) {
    if (IsEqualCLSID(clsid, g_factories[i].clsid)) return FactoryQuery((IClassFactory*)&g_factories[i], riid, out);
  }
  *out = NULL;
  return CLASS_E_CLASSNOTAVAILABLE;
}
