// In-process timings of the reply reader and both writers on the benchmark payloads.
// Usage: corvanelle-micro-bench PAYLOAD_DIR [Google Benchmark flags]
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include <benchmark/benchmark.h>

#include "exchange/reader.hpp"
#include "report/json_text.hpp"
#include "report/output.hpp"

namespace {

std::string load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "cannot read " << path << "\n";
        std::exit(2);
    }
    return {std::istreambuf_iterator<char>(in), {}};
}

void register_payload(const std::string& dir, const std::string& name) {
    auto payload = std::make_shared<std::string>(load(dir + "/" + name + ".json"));
    auto value = std::make_shared<corvanelle::Document>(*corvanelle::read_json_text(*payload));
    const auto bytes = static_cast<int64_t>(payload->size());

    benchmark::RegisterBenchmark(("read/" + name).c_str(), [payload,
                                                            bytes](benchmark::State& state) {
        for (auto _ : state) {
            auto reply = corvanelle::read_json_text(*payload);
            benchmark::DoNotOptimize(reply);
        }
        state.SetBytesProcessed(state.iterations() * bytes);
    })->Unit(benchmark::kMillisecond);

    for (const bool indented : {false, true}) {
        const std::string label = (indented ? "write-indented/" : "write-compact/") + name;
        benchmark::RegisterBenchmark(label.c_str(), [value, bytes,
                                                     indented](benchmark::State& state) {
            for (auto _ : state) {
                corvanelle::TextOut out;
                indented ? corvanelle::write_indented(*value, out)
                         : corvanelle::write_compact(*value, out);
                benchmark::DoNotOptimize(out.view().data());
            }
            state.SetBytesProcessed(state.iterations() * bytes);
        })->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: corvanelle-micro-bench PAYLOAD_DIR [benchmark flags]\n";
        return 2;
    }
    for (const char* name : {"ui-tree", "screenshot", "numbers"}) {
        register_payload(argv[1], name);
    }
    argv[1] = argv[0];
    int rest = argc - 1;
    benchmark::Initialize(&rest, argv + 1);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
