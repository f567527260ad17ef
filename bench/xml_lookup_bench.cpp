// Reading hostile catalogues: a full-path lookup on a deep tree (1000 levels,
// 400 000 empty leaves at the bottom, about 1.6 MB) that matches nothing, so
// it visits every node; and the dump of one element carrying 50 000
// attributes, which reads every attribute value by index.
//
//   xml_lookup_bench [--benchmark_...]
#include <benchmark/benchmark.h>

#include <string>

#include "base/memory_stream.h"
#include "xml/xml_document.h"
#include "xml/xml_dump.h"

namespace quillon {
namespace {

std::string DeepCatalogue() {
  constexpr int kLevels = 999;  // below Root, at the nesting limit
  constexpr int kLeaves = 400000;
  std::string x = "<Root>";
  for (int i = 0; i < kLevels - 1; ++i) x += "<d>";
  for (int i = 0; i < kLeaves; ++i) x += "<a/>";
  for (int i = 0; i < kLevels - 1; ++i) x += "</d>";
  x += "</Root>";
  return x;
}

std::string ManyAttributes() {
  std::string x = "<Root><e";
  for (int i = 0; i < 50000; ++i) x += " a" + std::to_string(i) + "=\"v" + std::to_string(i) + "\"";
  x += "/></Root>";
  return x;
}

void BM_FullPathLookupOnDeepTree(benchmark::State& state) {
  TsdXmlDocument doc;
  TStringStream s(DeepCatalogue());
  doc.LoadFromStream(s);
  for (auto _ : state)
    benchmark::DoNotOptimize(FindNode(doc.Root(), "/Root/Interface_Information/Window_Caption"));
}
BENCHMARK(BM_FullPathLookupOnDeepTree)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_DumpManyAttributes(benchmark::State& state) {
  TsdXmlDocument doc;
  TStringStream s(ManyAttributes());
  doc.LoadFromStream(s);
  for (auto _ : state) benchmark::DoNotOptimize(DumpXmlDocument(doc).size());
}
BENCHMARK(BM_DumpManyAttributes)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace quillon

BENCHMARK_MAIN();
