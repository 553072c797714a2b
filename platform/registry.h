// Registry: keys and values kept in one text file per hive under
// ${XDG_CONFIG_HOME:-$HOME/.config}/Marolin/registry/, with the calling conventions,
// result codes and buffer rules of the Windows registry functions of the same names.
//
// Key paths use "\" between names and compare without regard to ASCII case, as do
// value names. Every call reads the hive file afresh; every change rewrites it through
// a temporary file and a rename, so a reader never meets a half-written hive.
//
// Hive files are named after the hive (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,
// HKEY_LOCAL_MACHINE). One entry per line, fields separated by a tab:
//   K <tab> key path                                   a key (it may hold no values)
//   V <tab> key path <tab> value name <tab> type <tab> data
// type is the decimal value type (1 = REG_SZ); data is the stored bytes (a REG_SZ
// normally ends with its NUL). In every field the bytes '%', tab, CR, LF, other
// control bytes and DEL are written as %XX. A V line creates its key as well; lines
// starting with '#' and lines that do not parse are ignored.
//
// Two HKEY_LOCAL_MACHINE keys are supplied by the system when the hive file does not
// hold them:
//   "SOFTWARE\Microsoft\Cryptography" value MachineGuid: /etc/machine-id (else
//     /var/lib/dbus/machine-id) as 8-4-4-4-12 lower-case hex.
//   "HARDWARE\DEVICEMAP\SERIALCOMM": one value per serial device present (a tty in
//     /sys/class/tty with a device link; UART slots with no port detected are left
//     out): name = its sysfs path below /sys (e.g. "/devices/.../tty/ttyUSB0"), data =
//     the port name (e.g. "ttyUSB0"); then the values the hive file lists for that key
//     (a value of the same name as a device replaces it in place).
// These supplied values are never written to the hive file.
#pragma once

#include <string>

struct RegKeyRec;
typedef RegKeyRec *HKEY;

// Predefined root keys; they are always open and closing them does nothing.
extern const HKEY HKEY_CLASSES_ROOT;
extern const HKEY HKEY_CURRENT_USER;
extern const HKEY HKEY_LOCAL_MACHINE;

// Value types.
constexpr unsigned long REG_NONE = 0;
constexpr unsigned long REG_SZ = 1;
constexpr unsigned long REG_EXPAND_SZ = 2;
constexpr unsigned long REG_BINARY = 3;
constexpr unsigned long REG_DWORD = 4;

// Result codes.
constexpr long ERROR_SUCCESS = 0;
constexpr long ERROR_FILE_NOT_FOUND = 2;     // no such key or value
constexpr long ERROR_ACCESS_DENIED = 5;      // the handle lacks the access the call needs
constexpr long ERROR_INVALID_HANDLE = 6;     // not an open key handle
constexpr long ERROR_INVALID_PARAMETER = 87;
constexpr long ERROR_BAD_PATHNAME = 161;     // empty name inside a key path, or a leading "\"
constexpr long ERROR_MORE_DATA = 234;        // buffer too small; nothing was copied
constexpr long ERROR_NO_MORE_ITEMS = 259;    // enumeration index past the end
constexpr long ERROR_CANTREAD = 1012;        // the hive file exists but cannot be read
constexpr long ERROR_CANTWRITE = 1013;       // the hive file cannot be written
constexpr long ERROR_KEY_DELETED = 1018;     // the open key has been deleted meanwhile

// Access rights. Queries and enumeration need KEY_QUERY_VALUE, value changes
// KEY_SET_VALUE; KEY_WOW64_64KEY and KEY_WOW64_32KEY are accepted and change nothing.
constexpr unsigned KEY_QUERY_VALUE = 0x0001;
constexpr unsigned KEY_SET_VALUE = 0x0002;
constexpr unsigned KEY_CREATE_SUB_KEY = 0x0004;
constexpr unsigned KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr unsigned KEY_NOTIFY = 0x0010;
constexpr unsigned KEY_WOW64_64KEY = 0x0100;
constexpr unsigned KEY_WOW64_32KEY = 0x0200;
constexpr unsigned KEY_READ = 0x20019;   // query, enumerate, notify, read control
constexpr unsigned KEY_WRITE = 0x20006;  // set value, create sub key, read control
constexpr unsigned KEY_ALL_ACCESS = 0xF003F;

// Options and dispositions of RegCreateKeyExA. Every key is kept in the hive file.
constexpr unsigned REG_OPTION_NON_VOLATILE = 0;
constexpr unsigned long REG_CREATED_NEW_KEY = 1;
constexpr unsigned long REG_OPENED_EXISTING_KEY = 2;

// Opens subKey below key (null or "" opens key itself again). A trailing "\" is allowed.
long RegOpenKeyExA(HKEY key, const char *subKey, unsigned options, unsigned access, HKEY *out);

// Opens subKey below key, creating it and any missing parents. cls and security are
// ignored; disposition (may be null) receives REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY.
long RegCreateKeyExA(HKEY key, const char *subKey, unsigned reserved, char *cls, unsigned options,
                     unsigned access, void *security, HKEY *out, unsigned long *disposition);

// Reads value name (null or "" = the key's default value). type (may be null) receives
// its type. With data null, *size receives the data size. Otherwise *size is the
// buffer size in, the data size out; a buffer too small gives ERROR_MORE_DATA and stays
// untouched. A REG_SZ stored without its NUL gets one when the buffer has room for it.
long RegQueryValueExA(HKEY key, const char *name, unsigned long *reserved, unsigned long *type,
                      unsigned char *data, unsigned long *size);

// Stores size bytes of data as value name (created or replaced) of the given type. For
// REG_SZ pass the text with its NUL (strlen + 1).
long RegSetValueExA(HKEY key, const char *name, unsigned long reserved, unsigned long type,
                    const unsigned char *data, unsigned long size);

// Facts about key; every pointer may be null. Lengths of names are in characters
// without the NUL, maxValueLen in bytes. Keys have no class, no security descriptor
// and no write time here: those come back empty or 0.
long RegQueryInfoKeyA(HKEY key, char *cls, unsigned long *clsLen, unsigned long *reserved,
                      unsigned long *subKeys, unsigned long *maxSubKeyLen, unsigned long *maxClassLen,
                      unsigned long *values, unsigned long *maxValueNameLen, unsigned long *maxValueLen,
                      unsigned long *securityDescriptor, unsigned long long *lastWriteTime);

// Value number index of key. *nameLen is the name buffer size in characters (with the
// NUL) in, the name length without the NUL out; data and dataLen behave as in
// RegQueryValueExA (either may be null). Past the last value: ERROR_NO_MORE_ITEMS.
// When the name or the data does not fit: ERROR_MORE_DATA, nothing copied.
long RegEnumValueA(HKEY key, unsigned long index, char *name, unsigned long *nameLen,
                   unsigned long *reserved, unsigned long *type, unsigned char *data,
                   unsigned long *dataLen);

long RegDeleteValueA(HKEY key, const char *name);

// Deletes subKey below key with all its values and sub keys. With subKey null, deletes
// the values and sub keys of key itself and keeps key.
long RegDeleteTreeA(HKEY key, const char *subKey);

long RegCloseKey(HKEY key);

// The folder that holds the hive files; "" when neither XDG_CONFIG_HOME nor HOME is an
// absolute path.
std::string RegistryFolder();

// The system error (an errno value) behind the last ERROR_CANTWRITE that a call of this
// thread returned; 0 when none is known.
int RegLastWriteError();
