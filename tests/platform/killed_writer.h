// The helper program killed_writer (killed_writer.cpp), shared by it and the tests that run it.
#pragma once

// Its exit status once it has written its temporary; any other status means it could not.
inline constexpr int kKilledWriterStatus = 37;

// Its file name without the system's executable suffix; it is built beside the test programs.
inline constexpr const char* kKilledWriterName = "killed_writer";
