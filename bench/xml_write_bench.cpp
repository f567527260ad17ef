// Writing a large catalogue: the same 20 MB tree as xml_load_bench (60
// products, each with a 250 KB screenshot and a 4 KB icon in base64), built
// with the typed writers and BufferWrite, then saved through the ANSI codec in
// the compact and the readable layout.
//
//   xml_write_bench [--benchmark_...]
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "base/memory_stream.h"
#include "xml/xml_document.h"

namespace quillon {
namespace {

void Fill(TsdXmlDocument& doc) {
  std::mt19937 rng(42);
  auto random_bytes = [&rng](size_t n) {
    std::string bytes;
    bytes.reserve(n);
    while (bytes.size() < n) bytes += static_cast<char>(rng());
    return bytes;
  };
  TXmlNode* root = doc.Root();
  root->SetName("Root");
  TXmlNode* info = root->NodeNew("Interface_Information");
  info->WriteInteger("GroupCount", 60);
  info->WriteString("Window_Caption", "Quillon Download Manager");
  for (int p = 0; p < 60; ++p) {
    TXmlNode* g = root->NodeNew("Program_Group");
    g->WriteInteger("URLCount", 3);
    g->WriteString("Program_Name", "Product " + std::to_string(p));
    g->WriteString("Short_Description", "Does what it says & more.");
    const std::string icon = random_bytes(4 * 1024), shot = random_bytes(250 * 1024);
    g->NodeNew("Icon")->BufferWrite(icon.data(), static_cast<int64_t>(icon.size()));
    g->NodeNew("Screenshot")->BufferWrite(shot.data(), static_cast<int64_t>(shot.size()));
    for (int d = 0; d < 3; ++d) {
      TXmlNode* link = g->NodeNew("Download");
      link->WriteString("Description", "Link " + std::to_string(d));
      link->WriteString("URL", "http://127.0.0.1/file" + std::to_string(d) + ".zip");
      link->WriteString("Handle_by", "Internal Download");
    }
  }
}

void BM_BuildTree(benchmark::State& state) {
  for (auto _ : state) {
    TsdXmlDocument doc;
    Fill(doc);
    benchmark::DoNotOptimize(doc.Root()->NodeCount());
  }
}
BENCHMARK(BM_BuildTree)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void Save(benchmark::State& state, uint8_t format) {
  TsdXmlDocument doc;
  Fill(doc);
  doc.SetXmlFormat(format);
  int64_t size = 0;
  for (auto _ : state) {
    TMemoryStream out;
    doc.SaveToStream(out);
    size = out.Size();
  }
  state.SetBytesProcessed(state.iterations() * size);
}

void BM_SaveCompact(benchmark::State& state) { Save(state, 1); }
BENCHMARK(BM_SaveCompact)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_SaveReadable(benchmark::State& state) { Save(state, 0); }
BENCHMARK(BM_SaveReadable)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace quillon

BENCHMARK_MAIN();
