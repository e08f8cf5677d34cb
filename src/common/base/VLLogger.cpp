#include "VLLogger.h"

#include <log4cplus/config.hxx>
#include <log4cplus/fileappender.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/layout.h>

#include "VLFileHelper.h"
#include "VLLogLineLayout.h"
#include "VLPlatformFactory.h"
#include "VLSettingHelper.h"

namespace {

const char* const kPattern = "%D{%Y-%m-%d %H:%M:%S,%q} [%-4t] %-5p %c - %m (%l) %n";
const long kMaxFileSize = 1000000;
const int kMaxBackupIndex = 1;

}  // namespace

VLLogger* VLLogger::instance() {
  static VLLogger* logger = new VLLogger();
  return logger;
}

VLLogger::VLLogger() : enabled_(false), name_("desktop") {
  log4cplus::initialize();
  logger_ = log4cplus::Logger::getInstance(name_);
}

VLLogger::~VLLogger() {
  shutdown();
}

std::string VLLogger::getLogFilePath(const std::string& name) {
  VLPlatformFactory* factory = VLPlatformFactory::instance();
  std::string path = factory->getSettingHelper()->getLocalLogPath();
  if (!path.empty() && !name.empty()) path += factory->getFileHelper()->getSeparator() + name + ".log";
  return path;
}

void VLLogger::init() {
  if (isEnabled()) return;
  std::string path = getLogFilePath(name_);
  if (path.empty()) return;

  // A write that failed (a full disk) reopens the file at the next event
  // instead of a second later, so the log resumes as soon as space returns.
  log4cplus::helpers::Properties properties;
  properties.setProperty(LOG4CPLUS_TEXT("File"), path);
  properties.setProperty(LOG4CPLUS_TEXT("MaxFileSize"), std::to_string(kMaxFileSize));
  properties.setProperty(LOG4CPLUS_TEXT("MaxBackupIndex"), std::to_string(kMaxBackupIndex));
  properties.setProperty(LOG4CPLUS_TEXT("ImmediateFlush"), LOG4CPLUS_TEXT("true"));
  properties.setProperty(LOG4CPLUS_TEXT("Append"), LOG4CPLUS_TEXT("true"));
  properties.setProperty(LOG4CPLUS_TEXT("ReopenDelay"), LOG4CPLUS_TEXT("0"));
  log4cplus::SharedAppenderPtr appender(new log4cplus::RollingFileAppender(properties));
  appender->setName("FileAppender");
  appender->setLayout(std::unique_ptr<log4cplus::Layout>(new VLLogLineLayout(kPattern)));

  logger_.addAppender(appender);
  logger_.setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
  enabled_.store(true, std::memory_order_release);
}

void VLLogger::shutdown() {
  if (!isEnabled()) return;
  enabled_.store(false, std::memory_order_release);
  log4cplus::Logger::shutdown();
}
