#include "text/xml_reader.h"

#include <cstring>
#include <cwctype>
#include <utility>
#include <vector>

#include "base/windows_error.h"
#include "text/task_xml.h"

namespace qsh {
namespace {

// The text as XmlLite reads it: encoded to UTF-8 piece by piece as it is asked for, so that no
// copy of a large document is made. Wine's XmlLite cannot read UTF-16 from a stream past its
// first buffer (it reports garbage or overruns its heap), and UTF-8 is read the same way by
// every XmlLite; the code points are the same, since an unpaired surrogate stops the reading.
class Utf8Stream final : public ISequentialStream {
  public:
    // `head` is read first, then `text`.
    Utf8Stream(std::wstring head, std::wstring_view text)
        : head_(std::move(head)), text_(head_.empty() ? text : std::wstring_view(head_)),
          rest_(head_.empty() ? std::wstring_view() : text) {}
    Utf8Stream(const Utf8Stream&) = delete;
    Utf8Stream& operator=(const Utf8Stream&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (iid == __uuidof(IUnknown) || iid == __uuidof(ISequentialStream)) {
            *out = static_cast<ISequentialStream*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override {
        auto* to = static_cast<char*>(buffer);
        ULONG copied = 0;
        while (copied < size) {
            if (pending_.empty() && !encodeNextPiece()) {
                break;
            }
            const std::size_t piece = std::min<std::size_t>(pending_.size(), size - copied);
            std::memcpy(to + copied, pending_.data(), piece);
            pending_.erase(0, piece);
            copied += static_cast<ULONG>(piece);
        }
        if (read != nullptr) {
            *read = copied;
        }
        // A failure ends the text early rather than failing the read: Wine's XmlLite asks again
        // and again after a failed read. inputWasWhole tells the end apart.
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override {
        return STG_E_ACCESSDENIED;
    }
    bool failed() const { return failed_; }

  private:
    ~Utf8Stream() = default;

    // False at the end of the text, or when a piece cannot be encoded.
    bool encodeNextPiece() {
        constexpr std::size_t kPieceUnits = 32768;
        if (text_.empty()) {
            text_ = std::exchange(rest_, std::wstring_view());
        }
        if (failed_ || text_.empty()) {
            return false;
        }
        std::size_t units = std::min(text_.size(), kPieceUnits);
        // A surrogate pair is encoded whole.
        if (units < text_.size() && IS_HIGH_SURROGATE(text_[units - 1])) {
            --units;
        }
        const int length = static_cast<int>(units);
        const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text_.data(), length,
                                              nullptr, 0, nullptr, nullptr);
        pending_.resize(static_cast<std::size_t>(bytes));
        if (bytes == 0 || WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text_.data(), length,
                                              pending_.data(), bytes, nullptr, nullptr) != bytes) {
            failed_ = true;
            pending_.clear();
            return false;
        }
        text_.remove_prefix(units);
        return true;
    }

    std::wstring head_;
    std::wstring_view text_;
    std::wstring_view rest_;
    std::string pending_;
    bool failed_ = false;
    LONG references_ = 1;
};

// From the system folder only: a copy planted beside the executable or in the current folder
// is never loaded.
HMODULE loadSystemLibrary(const wchar_t* name, DWORD& error) {
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr) {
        return module;
    }
    error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER) {
        return nullptr;
    }
    // Windows 7 without the loader update refuses the flag: name the system folder's copy.
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        error = length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
        return nullptr;
    }
    const std::wstring path = std::wstring(folder, length) + L"\\" + name;
    module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        error = GetLastError();
    }
    return module;
}

// The text's XML declaration, if it has one, as it reads over UTF-8 bytes, and how much of the
// text it stands for: a declaration naming another encoding than the bytes' own is a document
// that a reader may refuse. The staged text's declaration names UTF-16.
std::pair<std::wstring, std::size_t> utf8Declaration(std::wstring_view text) {
    if (!text.starts_with(L"<?xml") || text.size() < 6 || !std::iswspace(text[5])) {
        return {};
    }
    const std::size_t end = text.find(L"?>");
    if (end == std::wstring_view::npos) {
        return {};
    }
    const std::size_t length = end + 2;
    return {setXmlEncodingDeclaration(std::wstring(text.substr(0, length)), L"UTF-8"), length};
}

XmlLiteSource xmlLiteSource;

std::wstring hresultStep(const wchar_t* step, HRESULT hr) {
    return std::wstring(step) + L" failed: " + formatHresult(hr);
}

} // namespace

void setXmlLiteSource(const XmlLiteSource& source) {
    xmlLiteSource = source;
}

XmlReader openXmlReader(std::wstring_view text, std::wstring& error) {
    XmlReader opened;
    DWORD loadError = ERROR_SUCCESS;
    opened.library.reset(loadSystemLibrary(xmlLiteSource.library, loadError));
    if (!opened.library) {
        error = std::wstring(L"Loading ") + xmlLiteSource.library + L" failed: " +
                formatWindowsError(loadError);
        return {};
    }
    const auto create = xmlLiteSource.create != nullptr
                            ? xmlLiteSource.create
                            : reinterpret_cast<decltype(&CreateXmlReader)>(reinterpret_cast<void*>(
                                  GetProcAddress(opened.library.get(), "CreateXmlReader")));
    const auto createInput =
        reinterpret_cast<decltype(&CreateXmlReaderInputWithEncodingName)>(reinterpret_cast<void*>(
            GetProcAddress(opened.library.get(), "CreateXmlReaderInputWithEncodingName")));
    if (create == nullptr || createInput == nullptr) {
        error = L"Finding the XmlLite functions failed: " + formatWindowsError(GetLastError());
        return {};
    }
    HRESULT hr =
        create(__uuidof(IXmlReader), reinterpret_cast<void**>(opened.reader.put()), nullptr);
    if (SUCCEEDED(hr)) {
        // Already XmlLite's default; said here because the checks rely on it.
        hr = opened.reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
    }
    if (FAILED(hr)) {
        error = hresultStep(L"Creating the XML reader", hr);
        return {};
    }
    auto [declaration, replaced] = utf8Declaration(text);
    *opened.input.put() = new Utf8Stream(std::move(declaration), text.substr(replaced));
    // UTF-8 by order as well as by the declaration.
    ComPtr<IUnknown> input;
    hr = createInput(opened.input.get(), nullptr, L"utf-8", FALSE, nullptr, input.put());
    if (SUCCEEDED(hr)) {
        hr = opened.reader->SetInput(input.get());
    }
    if (FAILED(hr)) {
        error = hresultStep(L"Handing the document to the XML reader", hr);
        return {};
    }
    return opened;
}

bool inputWasWhole(const XmlReader& xml) {
    return xml.input && !static_cast<const Utf8Stream*>(xml.input.get())->failed();
}

} // namespace qsh
