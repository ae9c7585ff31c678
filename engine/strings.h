// The program's string table: every text the user sees, by numeric id.
// Shared by every front end (Qt, Win32, command line).
#pragma once

#include <string>
#include <string_view>

namespace q4m::engine {

enum class StringId : int {
    AboutItem = 101,
    TimeOutIdentity = 102,  // "Time out error(1)"
    TimeOutBlock = 103,     // "Time out error(2)"
    TimeOutErase = 104,     // "Time out error(3)"
    IllegalDevice = 105,
    UseUpdateMode = 106,
    TransferError = 107,
    UpdateCompleted = 108,
    InProgress = 109,
    CantOpenMidiIn = 110,
    ErrorCaption = 111,
    CantOpenMidiOut = 113,
    ErasingFlash = 114,
    DataTransmit = 115,  // printf format: bytes confirmed, bytes in all
    StopQuestion = 116,  // asked before a close stops a run that is rewriting the device
    StopCaption = 117,
    NoDeviceFound = 118,          // status line when a port list is empty
    LockDirectoryUnusable = 119,  // printf format: the directory
    SleepInhibitReason = 120,     // shown by the system for the sleep inhibitor
    StatusName = 121,             // accessible names of the controls without a text
    StepName = 122,
    ProgressName = 123,
};

// The text of an id; empty for an id that is not in the table.
std::string_view loadString(int id);
inline std::string_view loadString(StringId id) { return loadString(static_cast<int>(id)); }

// Constants of the code rather than the string table.
inline constexpr std::string_view ProgramTitle = "Vexa Q4m System 1.10 Updater";
inline constexpr std::string_view InstanceLimitFormat =
    "It is forbidden to launch more than %d instance of this application.";

// "text" for n = 1, "text (n)" for n > 1.
std::string withInstanceSuffix(std::string_view text, int n);

// Step counter texts: "0/8" at the start of a run, "j/8" per plan row.
std::string stepText(int row, int rows);

// String 115 filled with the confirmed and total byte counts.
std::string dataTransmitText(int offset, int total);

// The instance-limit message filled with the limit.
std::string instanceLimitText(int limit);

// String 119 filled with the lock directory.
std::string lockDirectoryText(std::string_view directory);

}  // namespace q4m::engine
