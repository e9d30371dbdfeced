// Google Benchmark figures for the stages of the three actions, on libraries
// made in memory: parsing a build request, building, decoding, rendering the
// report and patching. Run: build/release/bench/vantrel_pdb_bench
#include <benchmark/benchmark.h>

#include <string>

#include "build.h"
#include "patch.h"
#include "report.h"
#include "request.h"
#include "vantrel_pdb/database.h"
#include "vantrel_pdb/strings.h"

namespace {

dovrel::Request library_request(std::int64_t tracks) {
  dovrel::Request r;
  r.action = "build";
  for (std::int64_t i = 0; i < tracks; ++i) {
    dovrel::Track t;
    t.id = static_cast<std::uint32_t>(1000 + i);
    t.title = "Track " + std::to_string(i) + (i % 3 ? "" : " Café 東京");
    t.artist = "Artist " + std::to_string(i / 5);
    t.album = "Album " + std::to_string(i / 3);
    t.genre = "Genre " + std::to_string(i % 300);
    t.key = std::to_string(i % 12 + 1) + "A";
    t.audio_path = "/Contents/" + std::to_string(i) + ".mp3";
    t.analysis_path = "/ANALYSIS/" + std::to_string(i) + ".DAT";
    t.artwork_path = i % 2 ? "" : "/ART/" + std::to_string(i) + ".jpg";
    t.bpm = 120.5;
    t.duration = 300;
    t.sample_rate = 44100;
    t.file_size = 5'000'000;
    r.tracks.push_back(std::move(t));
  }
  for (std::int64_t p = 0; p < tracks / 100 + 1; ++p) {
    dovrel::Playlist pl;
    pl.id = static_cast<std::uint32_t>(p + 1);
    pl.name = "Playlist " + std::to_string(p);
    for (std::int64_t e = 0; e < 200 && e < tracks; ++e) pl.tracks.push_back(static_cast<std::uint32_t>(1000 + (p * 7 + e) % tracks));
    r.playlists.push_back(std::move(pl));
  }
  return r;
}

void BM_Build(benchmark::State& state) {
  auto request = library_request(state.range(0));
  for (auto _ : state) {
    auto image = dovrel::build(request);
    benchmark::DoNotOptimize(image);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Build)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_Decode(benchmark::State& state) {
  auto image = *dovrel::build(library_request(state.range(0)));
  for (auto _ : state) {
    auto db = vantrel_pdb::Database::from_bytes(image);
    benchmark::DoNotOptimize(db);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.size()));
}
BENCHMARK(BM_Decode)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_RenderReport(benchmark::State& state) {
  auto image = *dovrel::build(library_request(state.range(0)));
  auto db = *vantrel_pdb::Database::from_bytes(image);
  for (auto _ : state) {
    auto report = dovrel::render_report(db);
    benchmark::DoNotOptimize(report);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RenderReport)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_Patch(benchmark::State& state) {
  auto image = *dovrel::build(library_request(state.range(0)));
  dovrel::Request request;
  request.keep_tracks.emplace();
  for (std::int64_t i = 0; i < state.range(0); i += 2) request.keep_tracks->push_back(static_cast<std::uint32_t>(1000 + i));
  for (auto _ : state) {
    auto patched = dovrel::patch(image, request);
    benchmark::DoNotOptimize(patched);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Patch)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_DecodeString(benchmark::State& state) {
  auto encoded = *vantrel_pdb::encode_string("Lumière Noire — 東京ミッドナイト 🎧");
  for (auto _ : state) {
    auto text = vantrel_pdb::decode_string(encoded, 0);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_DecodeString);

}  // namespace

BENCHMARK_MAIN();
