// Platform services the gateway needs beyond the standard library: the 32-bit
// millisecond tick counter, the high-resolution counter, GUID text, the program
// folder and whole-millisecond sleeps. All functions are safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gw {

// Milliseconds of a monotonic clock, truncated to 32 bits. Time-outs compare the
// unsigned difference of two ticks, so the wrap after 49.7 days is harmless.
uint32_t GetTickCount32();

// Nanoseconds of a monotonic clock as 64 bits (the high-resolution counter).
uint64_t QueryPerformanceCounter64();

// A random (version 4) GUID as upper-case braced text,
// e.g. "{3F2504E0-4F89-41D3-9A0C-0305E82C3301}".
std::string CreateGuidText();

// Fills `size` bytes from the system's cryptographic random source; throws when it fails.
void FillRandomBytes(unsigned char* data, size_t size);

// The full path of the running executable (UTF-8); empty when the system cannot tell.
std::string ProgramPath();

// The folder of the running executable, without a trailing slash.
std::string ProgramFolder();

// The executable's file name without its folder, e.g. "gateway".
std::string ProgramName();

// The program's command-line arguments as UTF-8, the program's name first. Linux hands main
// its arguments as they are; Windows hands main arguments in the ANSI code page, which loses
// every character outside it, so there they are read again from the system's UTF-16 copy.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// The process ID.
uint32_t CurrentProcessId();

// CPU seconds (user and system) the whole process has used.
double ProcessCpuSeconds();
// The process's resident memory in bytes (Windows: its working set).
uint64_t ProcessResidentBytes();
// When the process started, in seconds since the Unix epoch.
double ProcessStartTimeSeconds();
// Descriptors the process holds and the most it may hold (the soft limit); -1 where the
// system has no such count (Windows: handles are not bounded that way, so both are -1).
int64_t ProcessOpenDescriptors();
int64_t ProcessMaxDescriptors();

void SleepMs(uint32_t ms);

// Asks the system to schedule the calling thread, and the threads it creates from now on,
// for throughput: a thread that another one wakes waits for the waker's time slice to end
// or for it to block, instead of switching it out at once. A relay whose threads hand each
// message to one another saves a thread switch per hand-over; each wait stays well under a
// millisecond. Nothing where the system has no such policy.
void UseThroughputScheduling();

// Names the calling thread for the system's tools (top -H, ps -L, /proc/PID/task/*/comm, a
// debugger's thread list), so an operator sees which of the gateway's threads burns the
// time. Linux keeps at most 15 bytes of it.
void NameCurrentThread(const std::string& name);

// Ticks elapsed since `since`, unsigned so that wrap-around is harmless.
inline uint32_t TicksSince(uint32_t now, uint32_t since) { return now - since; }

}  // namespace gw
