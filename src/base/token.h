#pragma once

#include <windows.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace qsh {

// Which call of a token query failed, and its Windows error.
struct TokenFailure {
    const wchar_t* call = L"";
    DWORD error = ERROR_SUCCESS;
};

// One information class of `token`, in a buffer of the size the system asks for.
std::optional<std::vector<BYTE>> queryToken(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                            TokenFailure& failure);

// The same of this process's own token.
std::optional<std::vector<BYTE>> queryOwnToken(TOKEN_INFORMATION_CLASS kind, TokenFailure& failure);

// A class whose information has a fixed size, read as its record.
template <class Record>
std::optional<Record> tokenRecord(const std::optional<std::vector<BYTE>>& data,
                                  TokenFailure& failure) {
    if (!data) {
        return std::nullopt;
    }
    if (data->size() < sizeof(Record)) {
        failure = {L"GetTokenInformation", ERROR_INSUFFICIENT_BUFFER};
        return std::nullopt;
    }
    Record record;
    std::memcpy(&record, data->data(), sizeof record);
    return record;
}

// A SID as its string form ("S-1-5-21-..."); nothing when it cannot be converted (GetLastError
// says why).
std::optional<std::wstring> sidText(PSID sid);

// The user of `token` (this process's own when it is null) as a SID string, or the Windows error.
std::optional<std::wstring> tokenUserSid(HANDLE token, DWORD& error);

// Whether this process's token is elevated; nothing when it cannot be read.
std::optional<bool> ownTokenElevation(TokenFailure& failure);

// The same, asked once (a process's elevation never changes); a token that cannot be read
// counts as not elevated.
bool tokenIsElevated();

} // namespace qsh
