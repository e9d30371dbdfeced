// Lists the tracks of a database file: "id<TAB>title" per line.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include <vantrel_pdb/database.h>
#include <vantrel_pdb/track.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: list_tracks FILE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto db = vantrel_pdb::Database::from_bytes(image);
  if (!db) {
    std::fprintf(stderr, "%s\n", db.error().message().c_str());
    return 1;
  }
  for (const auto& t : db->tracks) {
    std::printf("%u\t%s\n", t.id, t.strings[vantrel_pdb::track_row::kTitleSlot].c_str());
  }
  return 0;
}
