// Result codes of the audio engine and their texts.
//
// The numbers up to 80 are the ones the playback classes test; codes of our
// own start at 100. Every engine call answers one of these.
#pragma once

enum VEResult : int {
  VE_OK = 0,
  VE_ERR_FILE_EOF = 22,          // end of file: use the bytes read, then end of data
  VE_ERR_FILE_NOTFOUND = 23,     // the open callback found no file
  VE_ERR_FORMAT = 25,            // not an MP3 or FLAC stream, or an empty file
  VE_ERR_INTERNAL = 33,          // a file callback failed, or an engine fault
  VE_ERR_INVALID_HANDLE = 36,    // the channel has no sound attached
  VE_ERR_INVALID_POSITION = 38,  // a position past the end of the sound
  VE_ERR_NOTREADY = 54,          // the sound is still loading; try again later
  VE_ERR_OUTPUT_INIT = 60,       // the output device could not be opened
  VE_ERR_UNSUPPORTED = 80,       // the call or time unit is not supported
  // Codes of our own.
  VE_ERR_INVALID_PARAM = 100,  // an argument is out of range or null
  VE_ERR_UNINITIALIZED = 101,  // the system is not initialised (init first)
  VE_ERR_INITIALIZED = 102,    // the call is only allowed before init
  VE_ERR_OUTPUT_DRIVER = 103,  // no such output driver
  VE_ERR_FILE_SYSTEM = 104,    // streams need the file callbacks set first
  VE_ERR_OUTPUT_LOST = 105,    // the output device went away: close and init again
};

// A short English text for result, never null; unknown codes give
// "Unknown engine result". Thread-safe.
const char* veResultText(int result);
