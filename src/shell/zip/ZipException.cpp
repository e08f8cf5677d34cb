#include "ZipException.h"

ZipException::ZipException(std::string reason) : ZipException(0, std::move(reason)) {}

ZipException::ZipException(int64_t error, std::string reason)
    : error_(error),
      reason_(std::move(reason)),
      what_(error ? reason_ + " (error " + std::to_string(error) + ")" : reason_) {}
