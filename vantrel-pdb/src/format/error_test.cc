#include "vantrel_pdb/error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/errors.h"

namespace vantrel_pdb {
namespace {

struct MessageCase {
  PdbError error;
  std::size_t index;
  std::string message;
};

// Every kind in its fixed place with its message: the first ten as they
// have always read, the later ones as error.h gives them.
TEST(PdbError, EachKindHasItsPlaceAndMessage) {
  const std::vector<MessageCase> cases = {
      {pdb_error::Io{"disk gone"}, 0, "io error: disk gone"},
      {pdb_error::UnknownString{0x02, 8232}, 1, "unknown PDB string kind 0x02 at offset 0x2028"},
      {pdb_error::UnknownString{0xfe, 0}, 1, "unknown PDB string kind 0xfe at offset 0x0"},
      {pdb_error::NoTable{19}, 2, "no table of type 19"},
      {pdb_error::UnknownField{"ti\"t\\le\n"}, 3, "unknown or non-fixed track field \"ti\\\"t\\\\le\\n\""},
      {pdb_error::TrackNotFound{7}, 4, "no track with id 7"},
      {pdb_error::PlaylistNotFound{8}, 5, "no playlist with id 8"},
      {pdb_error::RowTooLarge{5000, 4050}, 6, "row allocation 5000 exceeds page capacity 4050"},
      {pdb_error::ValueOutOfRange{"genre id", 4294967296, 4}, 7, "genre id=4294967296 does not fit in 4 byte(s)"},
      {pdb_error::TooManySlots{}, 8, "slot count encoding caps at 511 per page"},
      {pdb_error::StringTooLong{}, 9, "string too long for PDB encoding"},
      {errors::invalid("Invalid PDB page chain"), 10, "Invalid PDB page chain"},
      {pdb_error::File{"No such file or directory (os error 2)"}, 11, "No such file or directory (os error 2)"},
      {errors::damaged("4 byte(s) at offset 0x10 lie past the end of the image (8 bytes)"), 12,
       "io error: 4 byte(s) at offset 0x10 lie past the end of the image (8 bytes)"},
      {errors::refused("Duplicate track ID"), 13, "Duplicate track ID"},
      {pdb_error::UnreadableChange{"Invalid PDB page chain"}, 14,
       "Changed image would not read back (rows of the input overlap what the change rewrites): Invalid PDB page "
       "chain"},
      {errors::misuse("track string slot 21 does not exist"), 15, "invalid call: track string slot 21 does not exist"},
      {errors::internal("an undecoded image that is not blank"), 16,
       "internal error: an undecoded image that is not blank"},
  };
  for (const MessageCase& c : cases) {
    EXPECT_EQ(c.error.value().index(), c.index) << c.message;
    EXPECT_EQ(c.error.message(), c.message);
  }
}

}  // namespace
}  // namespace vantrel_pdb
