// Google Benchmark figures for the stages of the three actions, on libraries
// made in memory: parsing a build request, building, decoding (with and
// without keeping the records), rendering the report, writing the file and
// patching, at 1,000,
// 10,000 and 100,000 tracks; and building and patching 40,000 tracks whose
// ids are random or crafted to collide in a table that hashes an id to
// itself (multiples of such a table's size, or of a power of two). Run: build/bench-release/bench/vantrel_pdb_bench
// (scripts/bench.sh builds it); --benchmark_filter=/100000 for the large
// cases only.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "build.h"
#include "format/strings.h"
#include "patch.h"
#include "read/database.h"
#include "report.h"
#include "request.h"
#include "request_one_pass.h"
#include "vantrel_pdb/files.h"

namespace {

// The id of the i-th track: 1000, 1001, ... unless the caller says otherwise.
using TrackIds = std::vector<std::uint32_t>;

TrackIds dense_ids(std::int64_t tracks) {
  TrackIds ids;
  for (std::int64_t i = 0; i < tracks; ++i) ids.push_back(static_cast<std::uint32_t>(1000 + i));
  return ids;
}

dovrel::Request library_request(std::int64_t tracks, const TrackIds& ids) {
  dovrel::Request r;
  r.action = "build";
  for (std::int64_t i = 0; i < tracks; ++i) {
    dovrel::Track t;
    t.id = ids[static_cast<std::size_t>(i)];
    t.title = "Track " + std::to_string(i) + (i % 3 ? "" : " Café 東京");
    t.artist = "Artist " + std::to_string(i / 5);
    t.album = "Album " + std::to_string(i / 3);
    t.genre = "Genre " + std::to_string(i % 300);
    t.key = std::to_string(i % 12 + 1) + "A";
    t.audio_path = "/music/" + std::to_string(i) + ".mp3";
    t.analysis_path = "/scans/" + std::to_string(i) + ".dat";
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
    for (std::int64_t e = 0; e < 200 && e < tracks; ++e)
      pl.tracks.push_back(ids[static_cast<std::size_t>((p * 7 + e) % tracks)]);
    r.playlists.push_back(std::move(pl));
  }
  return r;
}

dovrel::Request library_request(std::int64_t tracks) { return library_request(tracks, dense_ids(tracks)); }

// The request of library_request as JSON text (its texts need no escapes).
// Built by appending only: GCC 12 misjudges literal + temporary string in
// optimised builds.
std::string library_request_text(std::int64_t tracks) {
  const dovrel::Request r = library_request(tracks);
  std::string out = R"({"action":"build","output":"/tmp/library.pdb","tracks":[)";
  auto field = [&out](const char* key, const std::string& text) {
    out.append(",\"").append(key).append("\":\"").append(text).append("\"");
  };
  for (std::size_t i = 0; i < r.tracks.size(); ++i) {
    const dovrel::Track& t = r.tracks[i];
    out.append(i ? ",{" : "{").append(R"("id":)").append(std::to_string(t.id));
    field("title", t.title);
    field("artist", t.artist);
    field("album", t.album);
    field("genre", t.genre);
    field("key", t.key);
    field("audioPath", t.audio_path);
    field("analysisPath", t.analysis_path);
    field("artworkPath", t.artwork_path);
    out.append(R"(,"bpm":120.5,"duration":300,"sampleRate":44100,"fileSize":5000000,"bitrate":320})");
  }
  out.append(R"(],"playlists":[)");
  for (std::size_t p = 0; p < r.playlists.size(); ++p) {
    const dovrel::Playlist& pl = r.playlists[p];
    out.append(p ? ",{" : "{").append(R"("id":)").append(std::to_string(pl.id));
    field("name", pl.name);
    out.append(R"(,"parentId":0,"isFolder":false,"tracks":[)");
    for (std::size_t e = 0; e < pl.tracks.size(); ++e) out.append(e ? "," : "").append(std::to_string(pl.tracks[e]));
    out.append("]}");
  }
  return out.append("]}");
}

void Sizes(benchmark::internal::Benchmark* b) { b->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond); }

void BM_ParseRequest(benchmark::State& state) {
  const std::string text = library_request_text(state.range(0));
  if (auto request = dovrel::parse_request(text); !request) {
    state.SkipWithError(request.error().message.c_str());
    return;
  }
  for (auto _ : state) {
    auto request = dovrel::parse_request(text);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseRequest)->Apply(Sizes);

// The reading half of a pipelined build alone: the one pass over the text,
// each batch of tracks dropped as it comes.
void BM_ReadBuildInOnePass(benchmark::State& state) {
  std::string text = library_request_text(state.range(0));
  const std::size_t size = text.size();
  text.append(dovrel::kRequestPadding, '\0');
  const dovrel::TrackBatchSink drop = [](std::vector<dovrel::Track>&& batch, std::size_t) {
    std::vector<dovrel::Track>().swap(batch);
  };
  for (auto _ : state) {
    auto request = dovrel::read_build_in_one_pass(std::string_view(text.data(), size), &drop);
    if (!request) {
      state.SkipWithError("not read in one pass");
      return;
    }
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadBuildInOnePass)->Apply(Sizes);

void BM_Build(benchmark::State& state) {
  auto request = library_request(state.range(0));
  for (auto _ : state) {
    auto image = dovrel::build(request);
    benchmark::DoNotOptimize(image);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Build)->Apply(Sizes);

// Each track's row encoded as a build's reader prepares it, with no library.
void BM_PrepareTracks(benchmark::State& state) {
  const auto request = library_request(state.range(0));
  std::vector<vantrel_pdb::TrackInput> inputs;
  for (const auto& t : request.tracks) inputs.push_back(dovrel::track_input(t));
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<vantrel_pdb::TrackInput> batch = inputs;
    std::vector<vantrel_pdb::PreparedTrack> prepared;
    prepared.reserve(batch.size());
    state.ResumeTiming();
    for (auto& t : batch) prepared.push_back(vantrel_pdb::Library::prepare_track(std::move(t)));
    benchmark::DoNotOptimize(prepared);
    state.PauseTiming();
    prepared.clear();
    batch.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PrepareTracks)->Apply(Sizes);

void BM_Decode(benchmark::State& state) {
  auto image = *dovrel::build(library_request(state.range(0)));
  for (auto _ : state) {
    auto db = vantrel_pdb::Database::from_bytes(image);
    benchmark::DoNotOptimize(db);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.size()));
}
BENCHMARK(BM_Decode)->Apply(Sizes);

// The patch's load: every row checked, no record kept.
void BM_DecodeCheckedOnly(benchmark::State& state) {
  auto image = *dovrel::build(library_request(state.range(0)));
  for (auto _ : state) {
    auto db = vantrel_pdb::Database::from_bytes(image, vantrel_pdb::Decoding::kRowLocations);
    benchmark::DoNotOptimize(db);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.size()));
}
BENCHMARK(BM_DecodeCheckedOnly)->Apply(Sizes);

// The report's bytes, printed into a sink that only counts them: the tracks
// are rendered as the line is printed.
std::size_t printed_bytes(const dovrel::Result<dovrel::OutputLine>& line) {
  std::size_t bytes = 0;
  if (!line) return 0;
  auto printed = line->print([&bytes](std::string_view block) -> dovrel::Result<void> {
    bytes += block.size();
    return {};
  });
  return printed ? bytes : 0;
}

void BM_RenderReport(benchmark::State& state) {
  auto image = *dovrel::build(library_request(state.range(0)));
  auto library = *vantrel_pdb::Library::open_borrowed(image);
  for (auto _ : state) {
    auto report = dovrel::render_report(library);
    benchmark::DoNotOptimize(printed_bytes(report));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RenderReport)->Apply(Sizes);

// The read action on an image in memory: structure check, decoding, report.
void BM_Read(benchmark::State& state) {
  auto image = *dovrel::build(library_request(state.range(0)));
  for (auto _ : state) {
    auto report = dovrel::read(image);
    benchmark::DoNotOptimize(printed_bytes(report));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Read)->Apply(Sizes);

// Keeps half the tracks and sets 1,000 tempos, as scripts/bench.sh does.
void BM_Patch(benchmark::State& state) {
  auto image = *dovrel::build(library_request(state.range(0)));
  dovrel::Request request;
  request.keep_tracks.emplace();
  for (std::int64_t i = 0; i < state.range(0); i += 2)
    request.keep_tracks->push_back(static_cast<std::uint32_t>(1000 + i));
  for (std::uint32_t i = 0; i < 1000 && i < state.range(0); ++i) request.tempos.emplace(1000 + i, 12000 + i);
  for (auto _ : state) {
    auto patched = dovrel::patch(image, request);
    benchmark::DoNotOptimize(patched);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Patch)->Apply(Sizes);

// Writing the image as the actions do: a new file, synced, renamed over
// the old (under TMPDIR, /tmp by default).
void BM_WriteFile(benchmark::State& state) {
  auto image = *dovrel::build(library_request(state.range(0)));
  const char* dir = std::getenv("TMPDIR");
  const std::string path = std::string(dir && *dir ? dir : "/tmp") + "/vantrel_pdb_bench_write.pdb";
  for (auto _ : state) {
    auto written = vantrel_pdb::write_file(path, image);
    if (!written) {
      state.SkipWithError(written.error().message().c_str());
      break;
    }
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.size()));
}
BENCHMARK(BM_WriteFile)->Apply(Sizes);

// Crafted ids: 0 random, 1 multiples of the bucket count an identity-hashed
// table of that many ids ends with, 2 multiples of 2^16.
TrackIds crafted_ids(std::int64_t tracks, std::int64_t kind) {
  const auto n = static_cast<std::uint32_t>(tracks);
  TrackIds ids;
  if (kind == 0) {
    std::mt19937 rng(1);
    std::unordered_set<std::uint32_t> taken;
    while (ids.size() < n) {
      const auto id = static_cast<std::uint32_t>(rng());
      if (id != 0 && taken.insert(id).second) ids.push_back(id);
    }
    return ids;
  }
  std::uint32_t stride = 1u << 16;
  if (kind == 1) {
    std::unordered_map<std::uint32_t, int> table;
    for (std::uint32_t i = 0; i < n; ++i) table.emplace(i, 0);
    stride = static_cast<std::uint32_t>(table.bucket_count());
  }
  for (std::uint32_t i = 1; i <= n; ++i) ids.push_back(i * stride);
  return ids;
}

void CraftedSizes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"tracks", "ids"})->Args({40000, 0})->Args({40000, 1})->Args({40000, 2})->Unit(benchmark::kMillisecond);
}

void BM_BuildCraftedIds(benchmark::State& state) {
  auto request = library_request(state.range(0), crafted_ids(state.range(0), state.range(1)));
  for (auto _ : state) {
    auto image = dovrel::build(request);
    if (!image) {
      state.SkipWithError(image.error().message.c_str());
      break;
    }
    benchmark::DoNotOptimize(image);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BuildCraftedIds)->Apply(CraftedSizes);

// Keeps every other track and gives every track a tempo.
void BM_PatchCraftedIds(benchmark::State& state) {
  const TrackIds ids = crafted_ids(state.range(0), state.range(1));
  auto image = *dovrel::build(library_request(state.range(0), ids));
  dovrel::Request request;
  request.keep_tracks.emplace();
  for (std::size_t i = 0; i < ids.size(); i += 2) request.keep_tracks->push_back(ids[i]);
  for (std::size_t i = 0; i < ids.size(); ++i) request.tempos.emplace(ids[i], static_cast<std::uint32_t>(12000 + i));
  for (auto _ : state) {
    auto patched = dovrel::patch(image, request);
    benchmark::DoNotOptimize(patched);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PatchCraftedIds)->Apply(CraftedSizes);

// The tempos of such a patch into the request's map, which is seeded, and
// into a map with the standard identity hash, for comparison.
template <class Map>
void BM_TempoMapCraftedIds(benchmark::State& state) {
  const TrackIds ids = crafted_ids(state.range(0), state.range(1));
  for (auto _ : state) {
    Map tempos;
    for (std::uint32_t id : ids) tempos.emplace(id, 12000u);
    benchmark::DoNotOptimize(tempos);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TempoMapCraftedIds<vantrel_pdb::TempoMap>)->Apply(CraftedSizes);
BENCHMARK(BM_TempoMapCraftedIds<std::unordered_map<std::uint32_t, std::uint32_t>>)->Apply(CraftedSizes);

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
