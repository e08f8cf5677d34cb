#include "VETypes.h"

const char* veOutputTypeName(int type) {
  switch (type) {
    case VE_OUTPUTTYPE_AUTODETECT: return "Default";
    case VE_OUTPUTTYPE_PULSEAUDIO: return "PulseAudio";
    case VE_OUTPUTTYPE_ALSA: return "ALSA";
    case VE_OUTPUTTYPE_NOSOUND: return "No sound";
    case VE_OUTPUTTYPE_WAVWRITER: return "WAV writer";
    case VE_OUTPUTTYPE_NOSOUND_NRT: return "No sound (non-real-time)";
    case VE_OUTPUTTYPE_WAVWRITER_NRT: return "WAV writer (non-real-time)";
  }
  return "Unknown";
}
