// Test helper: crafts page images byte by byte, independently of the editor,
// so that reader, patch and command-line tests can state exactly what a file
// holds.
#ifndef VANTREL_PDB_TESTING_IMAGE_BUILDER_H_
#define VANTREL_PDB_TESTING_IMAGE_BUILDER_H_

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/coding.h"
#include "format/format.h"

namespace vantrel_pdb::testing {

// Builds an image of 4096-byte pages: page 0 with a directory, then for each
// table a header page (flags 0x64) followed by its data pages (flags 0x24).
class ImageBuilder {
 public:
  explicit ImageBuilder(std::uint32_t page_size = 4096);

  // Adds a table whose chain is a fresh header page; returns its directory index.
  std::size_t add_table(std::uint32_t kind);
  // Adds a data page at the end of the table's chain; returns its page index.
  std::uint32_t add_data_page(std::size_t table);
  // Appends a row (allocation = size rounded up to 4) to the table's last
  // data page, opening one when there is none or the row does not fit.
  // Returns the row's absolute location.
  std::uint64_t add_row(std::size_t table, Bytes row);
  // Clears (or sets) the present bit of slot `slot` of page `page`.
  void set_present(std::uint32_t page, std::uint32_t slot, bool present);
  // Replaces the row index of data page `page`: slot s at heap offset
  // offsets[s], every slot present, the slot count offsets.size() (at most
  // 511). The rows are the caller's to write through bytes(); used_size is
  // left alone. For pages whose slots share or misplace rows.
  void set_row_index(std::uint32_t page, std::span<const std::uint16_t> offsets);

  // Writes the page counters, links the chains (each table's last page and
  // empty_candidate name a distinct page past the end) and returns the image.
  std::vector<std::uint8_t> finish();

  std::uint32_t page_size() const { return page_size_; }
  std::vector<std::uint8_t>& bytes() { return image_; }

 private:
  struct Table {
    std::uint32_t kind;
    std::vector<std::uint32_t> pages;  // header page first
  };
  std::uint32_t new_page();

  std::uint32_t page_size_;
  std::vector<std::uint8_t> image_;
  std::vector<Table> tables_;
};

// Row encoders in the layouts the reader decodes.
std::vector<std::uint8_t> pdb_string(std::string_view utf8);  // via encode_string
std::vector<std::uint8_t> id_name_row(std::uint32_t id, std::string_view name);
std::vector<std::uint8_t> artist_row(std::uint32_t id, std::string_view name);
std::vector<std::uint8_t> album_row(std::uint32_t id, std::uint32_t artist_id, std::string_view name);
std::vector<std::uint8_t> key_row(std::uint32_t id, std::string_view name);
std::vector<std::uint8_t> color_row(std::uint16_t id, std::string_view name);
std::vector<std::uint8_t> kind16_row(std::uint16_t id, std::string_view name);
std::vector<std::uint8_t> tree_row(std::uint32_t parent_id, std::uint32_t sort_order, std::uint32_t id, bool is_folder,
                                   std::string_view name);
std::vector<std::uint8_t> entry_row(std::uint32_t entry_index, std::uint32_t track_id, std::uint32_t playlist_id);

// The fields of a crafted track row; strings placed in slot order after the
// offset table.
struct TrackRowFields {
  std::uint32_t id = 1;
  std::uint32_t artist_id = 0, album_id = 0, genre_id = 0, key_id = 0, label_id = 0, artwork_id = 0;
  std::uint32_t tempo = 0, sample_rate = 44100, file_size = 0, bitrate = 0;
  std::uint16_t duration = 0, sample_depth = 16;
  std::uint8_t rating = 0;
  std::array<std::string, 21> strings{};
  // Sets the strings the report shows.
  TrackRowFields& title(std::string t) {
    strings[17] = std::move(t);
    return *this;
  }
  TrackRowFields& path(std::string p) {
    strings[20] = std::move(p);
    return *this;
  }
};
std::vector<std::uint8_t> track_row(const TrackRowFields& row_spec);

// Little-endian stores at absolute positions, for corrupting images in tests.
void put_u8(std::vector<std::uint8_t>& image, std::uint64_t pos, std::uint8_t v);
void put_u16(std::vector<std::uint8_t>& image, std::uint64_t pos, std::uint16_t v);
void put_u32(std::vector<std::uint8_t>& image, std::uint64_t pos, std::uint32_t v);
std::uint32_t get_u32(const std::vector<std::uint8_t>& image, std::uint64_t pos);
std::uint16_t get_u16(const std::vector<std::uint8_t>& image, std::uint64_t pos);

}  // namespace vantrel_pdb::testing

#endif  // VANTREL_PDB_TESTING_IMAGE_BUILDER_H_
