// CalculateFileHash over a 64 MiB file next to EVP_Digest over the same bytes in memory, for
// SHA-256 and SM3 (our registered entry). The file is read once before timing, so the file side
// measures the digest plus the reads from the page cache; BM_ReadFileBlocks times those reads
// alone (the same freads of HASH_FILE_READ_BLOCKS blocks), so that file = memory + reading can be checked.
#include "Digest.h"
#include "SMRegistry.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kFileSize = 64u << 20;

struct Input
{
    std::vector<unsigned char> bytes;
    std::string path;
    FILE* file = nullptr;

    Input() : bytes(kFileSize)
    {
        if (1 != SM_crypto_init() || 1 != RAND_bytes(bytes.data(), static_cast<int>(bytes.size())))
            abort();
        char name[] = "/tmp/varnell-digest-bench-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            abort();
        path = name;
        file = fdopen(fd, "w+b");
        if (!file || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fflush(file) != 0)
            abort();
        unsigned char* hash = nullptr;
        int size = 0;
        if (QOVA_OK != CalculateFileHash(file, NID_sha256, &hash, &size))  // warm the page cache
            abort();
        delete[] hash;
    }
    ~Input()
    {
        fclose(file);
        unlink(path.c_str());
    }
};

Input& TheInput()
{
    static Input input;
    return input;
}

void BM_CalculateFileHash(benchmark::State& state)
{
    Input& in = TheInput();
    const int nid = static_cast<int>(state.range(0));
    for (auto _ : state) {
        unsigned char* hash = nullptr;
        int size = 0;
        if (QOVA_OK != CalculateFileHash(in.file, nid, &hash, &size))
            state.SkipWithError("CalculateFileHash failed");
        benchmark::DoNotOptimize(hash);
        delete[] hash;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFileSize));
    state.SetLabel(OBJ_nid2sn(nid));
}

void BM_EVP_Digest(benchmark::State& state)
{
    Input& in = TheInput();
    const int nid = static_cast<int>(state.range(0));
    const EVP_MD* md = EVP_get_digestbynid(nid);
    for (auto _ : state) {
        unsigned char hash[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (1 != EVP_Digest(in.bytes.data(), in.bytes.size(), hash, &size, md, nullptr))
            state.SkipWithError("EVP_Digest failed");
        benchmark::DoNotOptimize(hash);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFileSize));
    state.SetLabel(OBJ_nid2sn(nid));
}

void BM_ReadFileBlocks(benchmark::State& state)
{
    Input& in = TheInput();
    std::vector<unsigned char> block(static_cast<size_t>(HASH_FILE_BLOCK_SIZE) * HASH_FILE_READ_BLOCKS);
    for (auto _ : state) {
        rewind(in.file);
        size_t total = 0;
        for (size_t n; (n = fread(block.data(), 1, block.size(), in.file)) > 0;)
            total += n;
        if (total != kFileSize)
            state.SkipWithError("short read");
        benchmark::DoNotOptimize(block.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFileSize));
}

}  // namespace

BENCHMARK(BM_ReadFileBlocks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CalculateFileHash)->Arg(NID_sha256)->Arg(kNidSm3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EVP_Digest)->Arg(NID_sha256)->Arg(kNidSm3)->Unit(benchmark::kMillisecond);
