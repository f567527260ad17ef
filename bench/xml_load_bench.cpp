// Loading a large catalogue from the end of a program file: the start-up path
// of the main window. The catalogue (about 20 MB) has 60 products, each with a
// 250 KB base64 screenshot, a 4 KB icon and three links. It is written once,
// as a plain XML file (for comparison with other parsers) and appended to a
// host file; the benchmark loads it through TApplicationDataStream and decodes
// every picture.
//
//   xml_load_bench [--benchmark_...]      QUILLON_BENCH_DIR sets where the files go
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/base64.h"
#include "base/file_stream.h"
#include "base/memory_stream.h"
#include "catalogue/application_data_stream.h"
#include "xml/xml_document.h"

namespace quillon {
namespace {

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

std::string MakeCatalogue() {
  std::mt19937 rng(42);
  std::string x = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<Root><Interface_Information>";
  x += "<GroupCount>60</GroupCount><Window_Caption>Quillon Download Manager</Window_Caption>";
  x += "<Splash_Logo>" + Base64Encode(RandomBytes(rng, 3000)) + "</Splash_Logo>";
  x += "<Prompt_after_date>0</Prompt_after_date><Data_URL>http://</Data_URL></Interface_Information>";
  for (int p = 0; p < 60; ++p) {
    const std::string n = std::to_string(p);
    x += "<Program_Group><URLCount>3</URLCount><Program_Name>Product " + n + "</Program_Name>";
    x += "<Short_Description>Product " + n + " does what it says &amp; more.</Short_Description>";
    x += "<Icon>" + Base64Encode(RandomBytes(rng, 4 * 1024)) + "</Icon>";       // a 4 KB picture
    x += "<Screenshot>" + Base64Encode(RandomBytes(rng, 250 * 1024)) + "</Screenshot>";  // a 250 KB picture
    for (int d = 0; d < 3; ++d) {
      x += "<Download><Description>Link " + std::to_string(d) + "</Description><URL>http://127.0.0.1/p" + n +
           "/file" + std::to_string(d) + ".zip</URL><Handle_by>Internal Download</Handle_by></Download>";
    }
    x += "</Program_Group>";
  }
  x += "</Root>";
  return x;
}

struct TFiles {
  std::string xml;       // the catalogue alone
  std::string program;   // host bytes + catalogue + trailer
  int64_t xml_size = 0;
};

const TFiles& Files() {
  static const TFiles files = [] {
    TFiles f;
    const char* dir = std::getenv("QUILLON_BENCH_DIR");
    const std::string base = std::string(dir && *dir ? dir : ".") + "/bench-catalogue";
    f.xml = base + ".xml";
    f.program = base + ".program";
    const std::string catalogue = MakeCatalogue();
    f.xml_size = static_cast<int64_t>(catalogue.size());
    TStringStream(catalogue).SaveToFile(f.xml);
    TStringStream(std::string(1 << 20, 'H')).SaveToFile(f.program);  // stands in for the program
    TApplicationDataStream out(f.program, TApplicationDataStream::omReadWrite);
    out.WriteBuffer(catalogue.data(), static_cast<int64_t>(catalogue.size()));
    std::fprintf(stderr, "catalogue: %s (%lld bytes), appended in %s\n", f.xml.c_str(),
                 static_cast<long long>(f.xml_size), f.program.c_str());
    return f;
  }();
  return files;
}

int64_t DecodePictures(TsdXmlDocument& doc) {
  int64_t bytes = 0;
  bytes += static_cast<int64_t>(
      FindNode(doc.Root(), "/Root/Interface_Information/Splash_Logo")->BinaryString().size());
  std::vector<TXmlNode*> groups;
  FindNodes(doc.Root(), "Program_Group", &groups);
  for (TXmlNode* g : groups) {
    bytes += static_cast<int64_t>(FindNode(g, "Icon")->BinaryString().size());
    bytes += static_cast<int64_t>(FindNode(g, "Screenshot")->BinaryString().size());
  }
  return bytes;
}

// The whole start-up read: open, load, and (when asked) decode every picture.
void LoadAppended(benchmark::State& state, bool pictures) {
  const TFiles& f = Files();
  for (auto _ : state) {
    TsdXmlDocument doc;
    {
      TApplicationDataStream s(f.program, TApplicationDataStream::omRead);
      doc.LoadFromStream(s);
    }
    benchmark::DoNotOptimize(pictures ? DecodePictures(doc) : 0);
  }
  state.SetBytesProcessed(state.iterations() * f.xml_size);
}

void BM_LoadAppendedCatalogueAndPictures(benchmark::State& state) { LoadAppended(state, true); }
BENCHMARK(BM_LoadAppendedCatalogueAndPictures)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The parts: loading alone, decoding alone.
void BM_LoadAppendedCatalogue(benchmark::State& state) { LoadAppended(state, false); }
BENCHMARK(BM_LoadAppendedCatalogue)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_DecodePictures(benchmark::State& state) {
  const TFiles& f = Files();
  TsdXmlDocument doc;
  doc.LoadFromFile(f.xml);
  for (auto _ : state) benchmark::DoNotOptimize(DecodePictures(doc));
}
BENCHMARK(BM_DecodePictures)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace quillon

BENCHMARK_MAIN();
