// CCelvoraModule: the program's registration as a local server. Its table of server
// classes is empty; what it registers is its AppID and its type library, in the registry
// stand-in's HKEY_CLASSES_ROOT hive.
#pragma once

// Results as the registration reports them: 0 success, negative failure.
using HRESULT = long;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = -2147467259L;  // 0x80004005

class CCelvoraModule {
 public:
  // Writes (bRegister true) or removes the two keys below "AppID"; "AppID" itself is
  // created when missing and never removed.
  static HRESULT UpdateRegistryAppId(bool bRegister);

  // The class objects of the empty table: nothing to register or revoke.
  HRESULT RegisterClassObjects() { return S_OK; }
  HRESULT RevokeClassObjects() { return S_OK; }

  // The server entries: the empty class table, then the type library (machine-wide; the
  // per-user forms of the switches land here too).
  HRESULT RegisterServer();
  HRESULT UnregisterServer();

 private:
  static HRESULT RegisterTypeLib();
  static HRESULT UnregisterTypeLib();
};

extern CCelvoraModule theModule;
