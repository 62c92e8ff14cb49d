// What every answer pays for being handed out as UTF-8 (CopyAsUTF8), next to a plain copy of the
// same text (strlen, new[], memcpy) in the same run: a 1 MiB answer of Base64 (a signature), one of
// Chinese text, and one whose last byte is ill-formed, which takes the repair.
#include "JSONUtilityDetail.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr size_t kAnswerSize = 1 << 20;

std::string Base64Answer()
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text = R"({"function":"SignMsgPKCS7","errorcode":0,"result":")";
    for (size_t i = 0; text.size() < kAnswerSize - 2; ++i)
        text += kAlphabet[(i * 37 + i / 64) % 64];
    return text + "\"}";
}

std::string ChineseAnswer()
{
    std::string text = R"({"function":"GetSignCertInfo","errorcode":0,"result":")";
    while (text.size() < kAnswerSize - 5)
        text += "\xE4\xB8\xAD";  // U+4E2D
    return text + "\"}";
}

std::string IllFormedAtTheEnd()
{
    std::string text = Base64Answer();
    text.back() = '\xFF';
    return text;
}

void PlainCopy(benchmark::State& state, const std::string& text)
{
    for (auto _ : state) {
        const size_t nSize = strlen(text.c_str()) + 1;
        std::unique_ptr<char[]> copy(new char[nSize]);
        memcpy(copy.get(), text.c_str(), nSize);
        benchmark::DoNotOptimize(copy.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void CopyAsUTF8Text(benchmark::State& state, const std::string& text)
{
    for (auto _ : state) {
        std::unique_ptr<char[]> copy(CopyAsUTF8(text.c_str()));
        benchmark::DoNotOptimize(copy.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

const std::string kBase64 = Base64Answer();
const std::string kChinese = ChineseAnswer();
const std::string kIllFormed = IllFormedAtTheEnd();

}  // namespace

BENCHMARK_CAPTURE(PlainCopy, base64_1MiB, kBase64)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(CopyAsUTF8Text, base64_1MiB, kBase64)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PlainCopy, chinese_1MiB, kChinese)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(CopyAsUTF8Text, chinese_1MiB, kChinese)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(CopyAsUTF8Text, ill_formed_last_byte_1MiB, kIllFormed)->Unit(benchmark::kMicrosecond);
