#include "VEResult.h"

const char* veResultText(int result) {
  switch (result) {
    case VE_OK: return "No errors.";
    case VE_ERR_FILE_EOF: return "End of file, unexpected end of file, or stream has no more data.";
    case VE_ERR_FILE_NOTFOUND: return "File not found.";
    case VE_ERR_FORMAT: return "Unsupported file or audio format.";
    case VE_ERR_INTERNAL:
      return "An error occurred that wasn't supposed to. A file callback failed or the engine hit an internal fault.";
    case VE_ERR_INVALID_HANDLE: return "An invalid object handle was used: the channel has no sound attached.";
    case VE_ERR_INVALID_POSITION: return "An invalid seek position was passed: it lies past the end of the sound.";
    case VE_ERR_NOTREADY: return "Operation could not be performed because the sound is not ready yet.";
    case VE_ERR_OUTPUT_INIT: return "Error initializing the output device.";
    case VE_ERR_UNSUPPORTED: return "A command issued was not supported by this object.";
    case VE_ERR_INVALID_PARAM: return "An invalid parameter was passed to this function.";
    case VE_ERR_UNINITIALIZED: return "The audio engine is not initialized.";
    case VE_ERR_INITIALIZED: return "Cannot call this command after the audio engine has been initialized.";
    case VE_ERR_OUTPUT_DRIVER: return "No such output driver.";
    case VE_ERR_FILE_SYSTEM: return "Streams need the file system callbacks to be set first.";
    case VE_ERR_OUTPUT_LOST: return "The output device was lost: it was removed, or its sound server stopped.";
  }
  return "Unknown engine result";
}
