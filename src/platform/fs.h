// Files: the user's private temporary folder and the two photo files in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace talvex::platform {

// The user's private temporary folder, UTF-16 with a trailing separator; it
// is created when missing. Linux: $XDG_RUNTIME_DIR/talvex/ when that variable
// holds an absolute path, made with mode 0700; else a folder of this process,
// ${TMPDIR:-/tmp}/talvex-<uid>.XXXXXX/ made by mkdtemp (a name no other user
// can take first), removed with its files when the process ends. False (and *out untouched) unless
// the folder is a real directory, not a symlink, owned by the user, with no access for group or
// others, and its path is valid text.
bool GetTempDirectory(std::u16string* out);
// The folder GetTempDirectory uses (UTF-8, with the trailing separator),
// whether or not it exists or is usable; for the diagnosis. (The fallback
// folder is made by this call; the pattern is given when it cannot be.)
std::string TempDirectoryPath();

// Removes a file; true when it is gone (also when it was never there).
bool RemoveFile(const char16_t* path);

// The form of a path the decoder library takes (the ANSI code page on
// Windows, UTF-8 on Linux), NUL-terminated into out. Returns the bytes
// written with the terminator, or 0 when they do not fit in `capacity`.
std::size_t PathToAnsi(const char16_t* path, char* out, std::size_t capacity);

// An open file, closed by the destructor.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Creates the file, or empties an existing one, for writing only, with no
  // sharing while it is open; a symlink at `path`, a file that is not a
  // regular one and a file someone else has open this way all fail. New
  // files (and existing ones) get owner-only access.
  static File CreateForWriting(const char16_t* path);
  // Opens an existing regular file for reading, sharing reading with others
  // (not with a writer holding it unshared); a symlink is not followed.
  static File OpenForReading(const char16_t* path);

  bool IsOpen() const { return fd_ >= 0; }
  // Writes all of data unless the system refuses; false on an error, else
  // *written is the count.
  bool Write(const void* data, std::size_t size, std::size_t* written);
  // Reads up to size bytes, stopping early only at the end of the file; false
  // on an error, else *got is the count.
  bool Read(void* data, std::size_t size, std::size_t* got);
  void Close();

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace talvex::platform
