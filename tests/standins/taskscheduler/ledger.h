#pragma once

// Bookkeeping of the stand-in Task Scheduler: what the test asked for through the
// environment, every call the helper made, the external reference counts of the
// objects handed out, and the BSTRs that crossed the boundary in either direction.
// Written to QSH_STANDIN_TS_LEDGER when the process ends.
//
// Environment read once, when the class is first requested:
//   QSH_STANDIN_TS_FAIL      "<Name>[#n]:<hex HRESULT>[;...]": the named call (its n-th
//                            occurrence, or every one) returns the HRESULT.
//   QSH_STANDIN_TS_HANG      "<Name>[;...]": the named call never returns.
//   QSH_STANDIN_TS_NULL_USER "1": get_ConnectedUser succeeds with a null BSTR.
//   QSH_STANDIN_TS_NULL_BSTR "<text>" or "#n": the helper's allocation of that text (or its
//                            n-th allocation) returns null, as when memory runs out.
//   QSH_STANDIN_TS_LEDGER    Windows path of the ledger file.
//   QSH_STANDIN_TASKS_DIR    task store folder (default: the system folder's Tasks).
//
// Names are "CoCreateInstance" (the class factory) and "<Interface>::<Method>"; methods
// reached through IDailyTrigger and IExecAction carry those names, QueryInterface on a
// trigger or an action is "ITrigger::QueryInterface" or "IAction::QueryInterface".
//
// The ledger (UTF-8, LF) exists only if the DLL was loaded, i.e. the helper asked COM for
// the class. "key=value" lines first:
//   created             service objects made by the class factory
//   bstr_tracking       "on" when the helper's SysFreeString import was hooked, so that the
//                       BSTR counts below are exact; "hooked" lists the hooked imports
//   live_objects        objects the helper still holds a reference to
//   order_violations    objects whose last reference went while a later-acquired one was
//                       still held (releases must be LIFO)
//   handed_out_unfreed  BSTRs the stand-in returned (user name, XML) never freed
//   helper_unfreed      BSTRs the helper allocated and never freed
//   misuse              double frees, over-releases, calls through released pointers, and
//                       helper BSTRs still alive when the next call starts
// then "leak ..." / "unfreed ..." details, then the journal ("> " lines): every call with
// its arguments, "acquire X" / "release X" when an object's count leaves or reaches 0,
// hand-outs and frees.

#include <windows.h>

#include <initializer_list>
#include <string>

namespace standin {

// Reads the environment and hooks the helper's BSTR functions; idempotent.
void startLedger();

// Entry of every implemented method. Hangs when asked; returns the injected HRESULT, or
// S_OK to go on. `object` is the ledger id of the callee (0 for the class factory);
// `bstrArgs` are the BSTRs passed in, the only helper-made BSTRs allowed to be alive now.
HRESULT enterCall(int object, const std::wstring& name, const std::wstring& detail = {},
                  std::initializer_list<BSTR> bstrArgs = {});

// A COM object handed out to the helper: its reference count counts the helper's
// references only (the stand-in links its objects with plain pointers).
int registerObject(const std::wstring& kind);
ULONG addRefObject(int id);
ULONG releaseObject(int id);

// BSTR that the helper owns from now on; it must come back through SysFreeString or
// VariantClear. Returns null when allocation fails.
BSTR handOutBstr(const std::wstring& text, const std::wstring& label);
// Label of a BSTR handed out and not freed yet, or empty.
std::wstring handedOutLabel(BSTR value);

// QSH_STANDIN_TS_NULL_USER was set.
bool connectedUserIsNull();

void noteEvent(const std::wstring& line);
void noteInstanceCreated();

// At process end, or when the DLL is unloaded.
void finishLedger(bool processEnding);

std::wstring environmentValue(const wchar_t* name);

// Text of a BSTR argument; a null BSTR is the empty string.
std::wstring textOf(BSTR value);
std::wstring describeVariant(const VARIANT& value);

} // namespace standin
