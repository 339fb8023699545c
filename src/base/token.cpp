#include "base/token.h"

#include <sddl.h>

#include "base/unique_resource.h"

namespace qsh {

std::optional<std::vector<BYTE>> queryToken(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                            TokenFailure& failure) {
    // The first call only asks for the size.
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<BYTE> data(size);
    if (size == 0 || !GetTokenInformation(token, kind, data.data(), size, &size)) {
        failure = {L"GetTokenInformation", GetLastError()};
        return std::nullopt;
    }
    data.resize(size);
    return data;
}

std::optional<std::vector<BYTE>> queryOwnToken(TOKEN_INFORMATION_CLASS kind,
                                               TokenFailure& failure) {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        failure = {L"OpenProcessToken", GetLastError()};
        return std::nullopt;
    }
    return queryToken(token.get(), kind, failure);
}

std::optional<std::wstring> sidText(PSID sid) {
    LocalOwned<LPWSTR> text;
    if (!ConvertSidToStringSidW(sid, text.put())) {
        return std::nullopt;
    }
    return std::wstring(text.get());
}

std::optional<std::wstring> tokenUserSid(HANDLE token, DWORD& error) {
    TokenFailure failure;
    const std::optional<std::vector<BYTE>> user = token != nullptr
                                                      ? queryToken(token, TokenUser, failure)
                                                      : queryOwnToken(TokenUser, failure);
    if (!user) {
        error = failure.error;
        return std::nullopt;
    }
    std::optional<std::wstring> text =
        sidText(reinterpret_cast<const TOKEN_USER*>(user->data())->User.Sid);
    if (!text) {
        error = GetLastError();
    }
    return text;
}

std::optional<bool> ownTokenElevation(TokenFailure& failure) {
    const auto elevation =
        tokenRecord<TOKEN_ELEVATION>(queryOwnToken(TokenElevation, failure), failure);
    if (!elevation) {
        return std::nullopt;
    }
    return elevation->TokenIsElevated != 0;
}

bool tokenIsElevated() {
    static const bool elevated = [] {
        TokenFailure failure;
        return ownTokenElevation(failure).value_or(false);
    }();
    return elevated;
}

} // namespace qsh
