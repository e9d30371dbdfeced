// The artwork thumbnails of an HTML export: the image files that the
// tracks' artwork paths name under the export's root, read as data: URIs.
#ifndef DOVREL_EXPORT_ARTWORK_H_
#define DOVREL_EXPORT_ARTWORK_H_

#include <cstddef>
#include <span>
#include <string>

#include "export_html.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

// A larger image file is left out: thumbnails are small, and the page
// holds every image in full.
inline constexpr std::size_t kMaxArtworkFileBytes = 256 * 1024;
// Images are read, in track order, until their files add up to this much.
inline constexpr std::size_t kMaxArtworkBytes = 64 * 1024 * 1024;

// The data: URI of every distinct artwork path whose file, root + path, is
// a regular file of at most kMaxArtworkFileBytes holding a JPEG, PNG, GIF,
// WebP or BMP image (image_data_uri), as long as the files read so far stay
// within kMaxArtworkBytes. A path with a ".." component is not looked up
// (it could name a file outside the root); nor are devices, FIFOs and the
// like. Files that cannot be read are left out without an error: the page
// then shows no thumbnail for their tracks.
ArtworkUris load_artwork(std::span<const TrackFacts> tracks, const std::string& root);

}  // namespace dovrel

#endif  // DOVREL_EXPORT_ARTWORK_H_
