// The page plays its sounds through AudioBinding (sound ids, play, pause,
// position, volume, buffered ranges). Nothing else of the page's audio needs
// adapting: this marks the native audio as present for the page's checks.
(function () {
  'use strict';
  if (window.AudioBinding) window.AudioBinding.isNative = true;
})();
