// The back end of the page's local and session storage, published as
// "VeloraStorage": every call names the store ("localStorage" or
// "sessionStorage") and reaches the core's web stores.
//
// Threads: main thread (the page's calls arrive there).
#pragma once

#include "PageObject.h"

class VeloraStorage : public PageObject {
 public:
  VeloraStorage();
};
