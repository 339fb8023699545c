// Where create-xml spends its time: the same steps as the command, timed one by one on a file.
//
//   create_xml_steps <input> <scratch-output>

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "base/bytes.h"
#include "base/file_io.h"
#include "base/unique_resource.h"
#include "base/utf8.h"
#include "text/decode.h"
#include "text/task_xml.h"

namespace {

double nowMs() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

class Step {
  public:
    explicit Step(const char* name) : name_(name), start_(nowMs()) {}
    ~Step() { std::printf("  %-28s %7.0f ms\n", name_, nowMs() - start_); }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

  private:
    const char* name_;
    double start_;
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: create_xml_steps <input> <scratch-output>\n");
        return 2;
    }
    qsh::Bytes bytes;
    {
        Step step("read");
        HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER size{};
        if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
            return 1;
        }
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        std::size_t done = 0;
        DWORD got = 0;
        while (done < bytes.size() && ReadFile(file, bytes.data() + done, 1 << 20, &got, nullptr) &&
               got > 0) {
            done += got;
        }
        CloseHandle(file);
    }
    qsh::DecodedText decoded;
    {
        Step step("decodeBytes");
        decoded = qsh::decodeBytes(bytes);
    }
    qsh::Bytes().swap(bytes);
    std::wstring text = std::move(decoded.text);
    {
        Step step("stripLeadingBomAndNoise");
        qsh::stripLeadingBomAndNoise(text);
    }
    {
        Step step("looksLikeTaskXml");
        if (!qsh::looksLikeTaskXml(text)) {
            return 1;
        }
    }
    {
        Step step("lowerCopy alone, for scale");
        std::wstring lower = qsh::lowerCopy(text);
    }
    {
        Step step("setXmlEncodingDeclaration");
        text = qsh::setXmlEncodingDeclaration(std::move(text), L"UTF-16");
    }
    {
        // As the command: the text's own UTF-16 LE units behind a byte order mark.
        Step step("writeOpenFile");
        static constexpr std::uint8_t mark[] = {0xFF, 0xFE};
        const std::span<const std::uint8_t> body(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                 sizeof(wchar_t) * text.size());
        const qsh::UniqueHandle file(CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        std::wstring error;
        if (!file || !qsh::writeOpenFile(file.get(), {mark, body}, error)) {
            return 1;
        }
    }
    return 0;
}
