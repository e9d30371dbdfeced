// The request of the "edit" action: "action", "input", "output", "report"
// ("full" or "summary", as for build and patch) and "changes", an array of
// changes applied in order. Each change is an object
// whose "op" names it; its keys are strict, unlike the request's top
// level: an unknown op or key fails, naming it.
//   changes[0]: unknown op "frob"
//   changes[2]: unknown field `colour`
//   changes[1].tracks[0]: missing field `fileSize`
#ifndef DOVREL_EDIT_REQUEST_H_
#define DOVREL_EDIT_REQUEST_H_

#include "request_readers.h"

namespace dovrel {

// The ops and their keys ("op" in each, the first ones required):
//   addTracks          tracks ([Track])
//   setTrack           id, then any Track key but "id"
//   removeTracks       ids ([u32])
//   addPlaylists       playlists ([Playlist])
//   renamePlaylist     id, name
//   movePlaylist       id, parentId; position (u32) optional
//   setPlaylistTracks  id, tracks ([u32])
//   removePlaylists    ids ([u32])
// The top level skips unknown keys as the other actions' requests do;
// "changes" is required.
request_json::Status read_edit_request(request_json::dom::object object, const request_json::Where& root,
                                       Request& request);

}  // namespace dovrel

#endif  // DOVREL_EDIT_REQUEST_H_
