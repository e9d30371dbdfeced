// Files: a page image read whole from a path, and written whole to a path,
// never half-written. Kept apart from the rest of the library, which
// touches no file.
#ifndef VANTREL_PDB_FILES_H_
#define VANTREL_PDB_FILES_H_

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vantrel_pdb/api.h"
#include "vantrel_pdb/bytes.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {
VANTREL_PDB_API_BEGIN

// The most that is read from a file that is not a regular one (a pipe, a
// FIFO, a device), whose size is not known beforehand: 1 GiB.
inline constexpr std::uint64_t kMaxStreamedSize = std::uint64_t{1} << 30;

// Reads the whole file at `path` to its end (a pipe or a device too), for
// Library::open. Fails with pdb_error::File carrying the operating system's
// text as dovrel shows it for its input: "No such file or directory (os
// error 2)", "Is a directory (os error 21)". A path holding a NUL byte,
// which the system would cut short, fails with "file path contains a NUL
// byte" without opening anything. A file that is not a regular one and
// holds more than kMaxStreamedSize bytes fails with "not a regular file, and
// it goes on past 1073741824 bytes" once that much is read.
std::expected<std::vector<std::uint8_t>, PdbError> read_file(const std::string& path);

// The bytes of a file that validate_file_start needs: its first page.
inline constexpr std::uint64_t kFileStartSize = 4096;

// The first test of Library::open ("Invalid PDB page size/length": the image
// is a non-zero whole number of 4096-byte pages, its header gives 4096 as
// the page size) for a file of `file_size` bytes whose first bytes are
// `start` (kFileStartSize of them, fewer when the file is shorter), so that a
// file can be refused before the rest of it is read. Whenever it fails,
// opening the whole file fails with the same error.
std::expected<void, PdbError> validate_file_start(Bytes start, std::uint64_t file_size);

// As read_file, but a regular file is looked at first page first: when
// validate_file_start refuses it (not a non-zero whole number of 4096-byte
// pages, or a header giving another page size), that is the error, the one
// Library::open would give for the whole file, and the rest is never read,
// so that a huge file that is no database costs one page of memory.
//
// Any other file (a pipe, a FIFO, a device) is read first page first too: a
// pipe or FIFO whose first page is no database header fails as a regular
// file would ("Invalid PDB page size/length"), a device with "character
// device that holds no database (Invalid PDB page size/length)" (or "block
// device ..."). One that passes is read no further than the pages its
// header reaches (the most of next_unused_page and one past every page the
// table directory names, at most kMaxStreamedSize bytes); when it goes on
// past them the read fails with "not a regular file, and it goes on past
// the N pages that its header reaches". So /dev/zero or a whole disk is
// never read without end.
std::expected<std::vector<std::uint8_t>, PdbError> read_database_file(const std::string& path);

// Reads the open descriptor `fd` from where it stands to its end (a regular
// file, a pipe, a terminal), retrying interrupted reads; the descriptor
// stays open. Where the file's size is known, `spare_capacity` bytes more
// are reserved beyond the data, so that a parser that pads its input grows
// into them without a copy. Fails with pdb_error::File carrying the
// operating system's text.
std::expected<std::vector<std::uint8_t>, PdbError> read_descriptor(int fd, std::size_t spare_capacity = 0);

// A last check before the new file replaces the old one; its error fails
// the write and is returned unchanged.
using BeforeReplace = std::function<std::expected<void, PdbError>()>;

// How write_file names and words what it does.
struct WriteOptions {
  // Starts the name of the hidden temporary file, where one is needed: at
  // most 55 bytes, no "/" (else the write fails with Misuse).
  std::string temp_prefix = ".vantrel_pdb-";
  // Starts every failure's message, followed by the path, ": " and the
  // reason: "cannot write PATH: No such file or directory (os error 2)".
  std::string failure_prefix = "cannot write ";
  // Runs after the bytes are safely on disk and just before the rename:
  // nothing that can fail comes after the rename but the directory's sync.
  BeforeReplace before_replace;
  // Starts the message of the one failure that leaves the new file in
  // place: the directory's sync after the rename failed, so the file is
  // replaced but not known to be on disk. Followed by the path and
  // ": syncing its directory failed: " and the reason.
  std::string replaced_prefix = "replaced, but not known to be on disk: ";
};

// Writes `bytes` as the whole content of the file at `path`, never leaving
// it half-written: the bytes go to a new file in the same directory, which
// is flushed, synced and renamed over the path; then the directory is
// synced. Where the file system allows it the new file has no name until it
// is complete (Linux O_TMPFILE), so that not even SIGKILL leaves it behind;
// elsewhere it is a hidden file named by the options' temp_prefix and eight
// random letters and digits, removed on failure and, after
// install_temp_file_cleanup, on SIGTERM, SIGINT and SIGHUP. Names are
// relative to the open directory, so any path the system accepts can be
// written.
//
// On any failure the previous file is left as it was; the error
// (pdb_error::File) names the path and the operating system's text, after
// the options' failure_prefix. The one exception is a failed sync of the
// directory after the rename (EINVAL and ENOTSUP, a file system that syncs
// no directories, are no failure): the new file is in place, and the error
// starts with the options' replaced_prefix instead. A new file gets the mode an ordinary create
// gives it (0666 less the umask); an existing one keeps its mode and, where
// allowed, its owner. A file system that refuses modes and owners (FAT,
// exFAT: EPERM, ENOTSUP) does not fail the write; any other error of those
// calls does. When `path` is a symbolic link the file it points to is
// replaced and the link stays. A directory fails with "Is a directory", any
// other target that is not a regular file (a device, FIFO or socket, such
// as /dev/stdout on a pipe) with "not a regular file"; a directory that
// cannot hold new files (/proc) with "DIR does not accept new files"; none
// is touched. A path holding a NUL byte fails without touching anything.
std::expected<void, PdbError> write_file(const std::string& path, std::span<const std::uint8_t> bytes,
                                         const WriteOptions& options = {});
// As above, the file's bytes being `parts` one after another: a program that
// makes a large file in pieces writes it without joining them first.
std::expected<void, PdbError> write_file(const std::string& path, std::span<const Bytes> parts,
                                         const WriteOptions& options = {});

// Appends `block` to the file that write_file_produced is writing; fails
// with the write's error (pdb_error::File, worded as write_file words it).
using PutBlock = std::function<std::expected<void, PdbError>(Bytes block)>;
// Makes a file's bytes in order, handing them to `put` block by block.
using BlockProducer = std::function<std::expected<void, PdbError>(const PutBlock& put)>;

// As write_file, the file's bytes being what `produce` hands to its PutBlock,
// so that a large file made in order (an export of every track) is never
// held whole. `produce` runs once the target has been looked at and the new
// file opened, so a target that write_file refuses fails before anything
// is made. It runs a second time, from the start and into another new
// file, on a file system that makes unnamed files but cannot name them: it
// must hand over the same bytes each time. A failure of `produce` (its own,
// or a put's that it returns) ends the write as any failure does, nothing
// replaced and the new file gone, and is returned unchanged; so does an
// exception it throws (memory that runs out), which then goes on to the
// caller. An empty `produce` fails with Misuse before anything is touched.
std::expected<void, PdbError> write_file_produced(const std::string& path, const BlockProducer& produce,
                                                  const WriteOptions& options = {});

// The advisory lock that makes writers of the same file take turns (dovrel's
// runs, save() and programs that hold one around their own read, change and
// save), so that concurrent changes in place apply one after another
// instead of the last one undoing the others.
//
// Holds an exclusive flock for the file that write_file(*output) would
// replace, from construction until destruction (or the process's end, even
// by a kill). The rename of a write replaces the file's inode, and a
// waiter may hold the old one; so after each wait the lock is checked to
// be on the file the path names now, and taken again when it is not. A
// target that does not exist yet is locked through its directory (any new
// file there then waits too). Does nothing when `output` is absent or the
// target is not a regular file, and goes on unlocked when the lock cannot
// be had (an unreadable file, a file system without flock): it is
// advisory, and other programs do not take it. Other threads of the process
// wait as other processes do; a thread that holds the lock of the same
// target already (a program that locks its file before it reads it and
// then calls save()) does not wait for itself: the inner lock is a no-op.
//
// How long it waits is the LockWait's: without end and without a word by
// default; with on_wait it says once, after notice_after, that it waits and
// for whom ("waiting for the lock of PATH, held by process 1234 (dovrel)");
// with a limit it gives up when that runs out, and failure() says so ("gave
// up waiting for the lock of PATH after 5 s, held by process 1234 (dovrel)").
struct LockWait {
  std::function<void(const std::string& notice)> on_wait;
  std::chrono::milliseconds notice_after{1000};
  std::optional<std::chrono::milliseconds> limit;
};

class TargetLock {
 public:
  // What is locked for a target that does not exist yet: its directory;
  // or nothing, for a caller that holds a DirectoryLock on it already
  // (kHeldByCaller) or that takes the lock again just before it writes
  // (kLockAtWrite), so that a new file waits for no other file's run.
  enum class Missing { kLockDirectory, kHeldByCaller, kLockAtWrite };

  explicit TargetLock(const std::optional<std::string>& output, Missing missing = Missing::kLockDirectory,
                      const LockWait& wait = {});
  ~TargetLock();
  TargetLock(const TargetLock&) = delete;
  TargetLock& operator=(const TargetLock&) = delete;

  bool held() const { return fd_ >= 0; }
  // The wait ran out (pdb_error::File); nullopt otherwise, held or not.
  const std::optional<PdbError>& failure() const { return failure_; }

 private:
  int fd_ = -1;
  std::optional<PdbError> failure_;
};

// The lock that TargetLock takes for a new file in `directory`, held for a
// whole run that writes many new files there (an export), so that they
// need not take turns with each other. Goes on unlocked when the directory
// cannot be opened or locked.
class DirectoryLock {
 public:
  // Takes the locks of `directories` in the order of their device and inode
  // numbers, whatever order or spelling they are given in, so that runs
  // that lock some of the same directories cannot wait on each other in a
  // circle.
  static std::vector<DirectoryLock> lock_all(const std::vector<std::string>& directories);

  DirectoryLock(DirectoryLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  DirectoryLock& operator=(DirectoryLock&&) = delete;
  DirectoryLock(const DirectoryLock&) = delete;
  ~DirectoryLock();

  bool held() const { return fd_ >= 0; }

 private:
  explicit DirectoryLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

class Library;
// Commits `library` and writes its image to `path` with write_file, under
// the TargetLock of `path`: it waits while another writer (a dovrel run,
// another save) holds it.
std::expected<void, PdbError> save(Library& library, const std::string& path);

// The file that write_file(path, ...) would replace, after following
// symbolic links; it need not exist. Fails with pdb_error::File carrying the
// operating system's text.
std::expected<std::string, PdbError> output_target(const std::string& path);

// Installs the handler that removes write_file's hidden temporary file when
// SIGTERM, SIGINT or SIGHUP stops the process, then lets the signal end it
// as it would have without a handler. A signal that is ignored when the
// process starts (as nohup leaves SIGHUP) stays ignored. For programs that
// own their process; without it the signals act as usual.
void install_temp_file_cleanup();

// The operating system's text for an errno value as the library's file
// errors give it, for a program's own messages about files and streams:
// "No such file or directory (os error 2)".
std::string os_error_message(int error_number);

VANTREL_PDB_API_END
}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_FILES_H_
