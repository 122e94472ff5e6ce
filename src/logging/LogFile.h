// The log writer's file operations on descriptors of files opened for appending, apart per
// system. Paths are UTF-8. Each function is safe from any thread on its own descriptor.
#pragma once

#include <cstddef>
#include <string>

namespace gw {

// Writes everything, going on after interruptions; false when the system refuses.
bool WriteLogFile(int fd, const char* data, size_t size);

// Creates `file` holding only the UTF-16LE byte order mark, unless it exists.
void CreateWithByteOrderMark(const std::string& file);

// Opens an existing `file` for appending while denying other writers (another instance's
// writer asks for the same). -1 on failure or when another writer has it.
int OpenForAppendExclusive(const std::string& file);

// Opens `file` for appending, creating it when it does not exist. -1 on failure.
int OpenOrCreateForAppend(const std::string& file);

void CloseLogFile(int fd);

// Whether a file can be made in `folder` (which exists): creates and removes a probe file.
// On failure `error` gets the system's text.
bool ProbeLogFolder(const std::string& folder, std::string& error);

}  // namespace gw
