// The Windows service's account and files: the virtual account
// NT SERVICE\NAME named by its security identifier, the service's folder in
// ProgramData with an access list of its own, the secret file readable only
// by that account and the administrators, and read rights on the exports.
#include "plat/win32/win32_internal.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

using namespace plat_win32;  // the helpers of win32_internal.h

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The service account's identifier as SDDL text ("S-1-5-80-..."); "" when
// the system cannot name it (Wine knows no service accounts).
std::wstring service_sid_text(const char* name) {
  wstr wname(name);
  if (wname.p == nullptr) return L"";
  const std::wstring account = std::wstring(L"NT SERVICE\\") + wname.p;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidlen = sizeof sid;
  wchar_t domain[256];
  DWORD domlen = 256;
  SID_NAME_USE use;
  if (!LookupAccountNameW(nullptr, account.c_str(), sid, &sidlen, domain, &domlen, &use)) return L"";
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"";
  std::wstring out(text);
  LocalFree(text);
  return out;
}

// A protected access list (nothing inherited from the folder above) in
// SDDL: SYSTEM and Administrators full control, the service's account
// `rights` (SDDL rights) unless it cannot be named; inherited by what is
// made inside when `inherit`.
std::wstring dacl_text(const std::wstring& sid, const wchar_t* rights, bool inherit) {
  const std::wstring flags = inherit ? L"OICI" : L"";
  std::wstring d = L"D:P(A;" + flags + L";FA;;;SY)(A;" + flags + L";FA;;;BA)";
  if (!sid.empty()) d += L"(A;" + flags + L";" + rights + L";;;" + sid + L")";
  return d;
}

// Gives the object open as h the access list in SDDL; the system's error
// code, ERROR_SUCCESS when it was set.
DWORD set_dacl(HANDLE h, const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) {
    return GetLastError();
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  const DWORD r = SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr);
  LocalFree(sd);
  return r;
}

// Whether the object open as h is owned by Administrators or SYSTEM, or by
// the account running this (which is then an administrator: an object it
// made is its own where the system does not give administrators' objects
// to the Administrators group, as Wine does not).
bool owned_by_administrators(HANDLE h) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) !=
      ERROR_SUCCESS) {
    return false;
  }
  bool ok = owner != nullptr &&
            (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid));
  if (!ok && owner != nullptr) {
    HANDLE token = nullptr;
    BYTE user_buf[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD got = 0;
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD admins_len = sizeof admins;
    BOOL member = FALSE;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      if (GetTokenInformation(token, TokenUser, user_buf, sizeof user_buf, &got) &&
          CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &admins_len) &&
          CheckTokenMembership(nullptr, admins, &member) && member) {
        ok = EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user_buf)->User.Sid) != 0;
      }
      CloseHandle(token);
    }
  }
  LocalFree(sd);
  return ok;
}

// "WHAT PATH: WORDS" for a refusal decided here.
int refuse_path(const char* what, const std::wstring& path, const char* words, char* err, size_t errlen) {
  char* u = narrow(path.c_str());
  if (errlen > 0) snprintf(err, errlen, "%s %s: %s", what, u != nullptr ? u : "?", words);
  free(u);
  return -1;
}

}  // namespace

int plat_service_data_dir(const char* name, char* dir, size_t dirlen, char* err, size_t errlen) {
  if (dirlen > 0) dir[0] = 0;
  wchar_t base[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base) != S_OK) {
    return fail_with("cannot find the folder for all users' program data (ProgramData)", ERROR_PATH_NOT_FOUND, err,
                     errlen);
  }
  wstr wname(name);
  if (wname.p == nullptr) return fail_with("the service's name is not text", ERROR_INVALID_NAME, err, errlen);
  const std::wstring path = std::wstring(base) + L"\\" + wname.p;
  // Made with its own access list from the start, so that nobody can
  // reach it between its making and the list's setting.
  const std::wstring sddl = dacl_text(service_sid_text(name), L"0x1301bf", true);
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) {
    return fail_with("cannot make an access list", GetLastError(), err, errlen);
  }
  SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
  const bool made = CreateDirectoryW(path.c_str(), &sa) != 0;
  const DWORD made_why = GetLastError();
  LocalFree(sd);
  if (!made && made_why != ERROR_ALREADY_EXISTS) {
    return fail_with("cannot make the service's folder in ProgramData", made_why, err, errlen);
  }
  // What is there is judged through one handle, never through a link.
  HANDLE h = CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_with("cannot open the service's folder", GetLastError(), err, errlen);
  FILE_ATTRIBUTE_TAG_INFO ti = {};
  int rc = 0;
  if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &ti, sizeof ti) ||
      !(ti.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (ti.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    rc = refuse_path("the service's folder", path,
                     "is not a plain folder (a link, a junction or a file stands there, which could lead the "
                     "service elsewhere): remove it and install again",
                     err, errlen);
  } else if (!owned_by_administrators(h)) {
    rc = refuse_path("the service's folder", path,
                     "is owned by an account other than Administrators or SYSTEM, so someone else may have made "
                     "it to steer the service: remove it and install again",
                     err, errlen);
  } else if (const DWORD why = set_dacl(h, sddl); why != ERROR_SUCCESS) {
    rc = fail_with("cannot set the access list of the service's folder", why, err, errlen);
  }
  CloseHandle(h);
  if (rc != 0) return rc;
  char* u = narrow(path.c_str());
  if (u == nullptr) return fail_with("the service's folder is not text", ERROR_INVALID_NAME, err, errlen);
  if (dirlen > 0) snprintf(dir, dirlen, "%s", u);
  free(u);
  return 0;
}

int plat_service_private_file(const char* name, const char* path, const void* data, size_t len, char* err,
                              size_t errlen) {
  wstr w(path);
  if (w.p == nullptr) return fail_with("the file's path is not text", ERROR_INVALID_NAME, err, errlen);
  const std::wstring sddl = dacl_text(service_sid_text(name), L"FR", false);
  HANDLE h = CreateFileW(w.p, GENERIC_WRITE | READ_CONTROL | WRITE_DAC, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_with("cannot write the file", GetLastError(), err, errlen);
  // Set before anything is written, also on a file that was there.
  DWORD why = set_dacl(h, sddl);
  DWORD put = 0;
  if (why == ERROR_SUCCESS && (len > 0xFFFFFFFFu || !WriteFile(h, data, static_cast<DWORD>(len), &put, nullptr) ||
                               put != len || !FlushFileBuffers(h))) {
    why = GetLastError();
  }
  CloseHandle(h);
  return why == ERROR_SUCCESS ? 0 : fail_with("cannot write the file", why, err, errlen);
}

int plat_service_grant_read(const char* name, const char* path, char* err, size_t errlen) {
  const std::wstring sid_text = service_sid_text(name);
  if (sid_text.empty()) return fail_with("this system cannot name that account", ERROR_NONE_MAPPED, err, errlen);
  wstr w(path);
  PSID sid = nullptr;
  if (w.p == nullptr || !ConvertStringSidToSidW(sid_text.c_str(), &sid)) {
    return fail_with("cannot name the service's account", GetLastError(), err, errlen);
  }
  const DWORD attrs = GetFileAttributesW(w.p);
  PACL old_dacl = nullptr;
  PACL new_dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD r = attrs == INVALID_FILE_ATTRIBUTES
                ? GetLastError()
                : GetNamedSecurityInfoW(w.p, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old_dacl,
                                        nullptr, &sd);
  if (r == ERROR_SUCCESS) {
    // Read and traverse (GENERIC_EXECUTE carries FILE_TRAVERSE), and for a
    // folder inherited by all it holds and will hold.
    EXPLICIT_ACCESSW ea = {};
    ea.grfAccessPermissions = GENERIC_READ | GENERIC_EXECUTE;
    ea.grfAccessMode = GRANT_ACCESS;
    ea.grfInheritance = (attrs & FILE_ATTRIBUTE_DIRECTORY) ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.TrusteeType = TRUSTEE_IS_USER;
    ea.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    r = SetEntriesInAclW(1, &ea, old_dacl, &new_dacl);
  }
  if (r == ERROR_SUCCESS) {
    r = SetNamedSecurityInfoW(w.p, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, new_dacl, nullptr);
  }
  LocalFree(new_dacl);
  LocalFree(sd);
  LocalFree(sid);
  return r == ERROR_SUCCESS ? 0 : fail_with("cannot let the service's account read it", r, err, errlen);
}
