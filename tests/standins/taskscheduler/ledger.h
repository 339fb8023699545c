#pragma once

// Bookkeeping of the stand-in Task Scheduler: what the test asked for through the
// environment, every call the helper made, the external reference counts of the
// objects handed out, and the BSTRs that crossed the boundary in either direction.
// Written to QSH_STANDIN_TS_LEDGER when the process ends.
//
// Environment:
//   QSH_STANDIN_TS_FAIL      "<Name>[#n]:<hex HRESULT>": the named call (its n-th
//                            occurrence, or every one) returns the HRESULT.
//   QSH_STANDIN_TS_HANG      "<Name>": the named call never returns.
//   QSH_STANDIN_TS_NULL_USER "1": get_ConnectedUser and IPrincipal::get_UserId of a stored
//                            task succeed with a null BSTR.
//   QSH_STANDIN_TS_NULL_BSTR "<text>" or "#n": the helper's allocation of that text (or its
//                            n-th allocation) returns null, as when memory runs out.
//   QSH_STANDIN_TS_LEDGER    Windows path of the ledger file.
//   QSH_STANDIN_TASKS_DIR    task store folder (default: the system folder's Tasks).
//
// Names are "CoCreateInstance" (the class factory) and "<Interface>::<Method>", the
// interface the helper calls through ("ITrigger::QueryInterface", "IDailyTrigger::put_...").
//
// The ledger (UTF-8, LF) exists only if the DLL was loaded, i.e. the helper asked COM for
// the class. One line per call, "call <Name> <arguments>", in order; a line "! ..." for each
// fault of the caller: a call of a method the stand-in does not implement ("! unexpected call
// <Interface>::<Method>", answered E_NOTIMPL), a call through a released pointer, an over-release,
// a last reference dropped while a later-acquired object is still held (releases must be LIFO), a
// BSTR freed twice, a helper-made BSTR still alive when the next call starts; at the end every
// object still referenced, every BSTR not freed, and "! BSTR frees not tracked" when the helper's
// SysFreeString import could not be hooked.

#include <windows.h>

#include <string>

namespace standin {

// Reads the environment and hooks the helper's BSTR functions; idempotent.
void startLedger();

// Entry of every implemented method. Hangs when asked; returns the injected HRESULT, or
// S_OK to go on. `object` is the ledger id of the callee (0 for the class factory);
// `passed` is the BSTR passed in, the only helper-made BSTR allowed to be alive now.
HRESULT enterCall(int object, const std::wstring& name, const std::wstring& detail = {},
                  BSTR passed = nullptr);
// A fault line, "! <text>".
void recordFault(const std::wstring& text);

// A COM object handed out to the helper: its reference count counts the helper's
// references only (the stand-in links its objects with plain pointers).
int registerObject(const std::wstring& kind);
ULONG addRefObject(int id);
ULONG releaseObject(int id);

// BSTR that the helper owns from now on; it must come back through SysFreeString or
// VariantClear. Returns null when allocation fails.
BSTR handOutBstr(const std::wstring& text, const std::wstring& label);

// When the DLL is unloaded, which is at process end (DllCanUnloadNow refuses earlier), so
// the hooks stay in place for good.
void finishLedger();

std::wstring environmentValue(const wchar_t* name);
// Creates or replaces the file with `size` bytes.
HRESULT writeNewFile(const std::wstring& path, const void* data, DWORD size);

// Text of a BSTR argument; a null BSTR is the empty string.
std::wstring textOf(BSTR value);
// "EMPTY", "BSTR(null)", "BSTR:<text> (handed out: <label>)" or "... (not handed out)".
std::wstring describeVariant(const VARIANT& value);

} // namespace standin
