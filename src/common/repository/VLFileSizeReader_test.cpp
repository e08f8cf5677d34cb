#include "VLFileSizeReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>

#include "VLFileHelper.h"
#include "VLPlatformFactory.h"
#include "TestFolder.h"

namespace {

// Keeps what its sizesRead saw: the sizes must be read before it runs.
struct Request : VLFileSizeReader::Request {
  void sizesRead() override { seen = contentSize + 1000 * bitmapSize; }
  uint64_t seen = UINT64_MAX;
};

// Every file of a folder, with its bitmap beside it for every third one, read
// back in the order added whatever thread reads it: the sizes are each file's
// own, none is lost or waited on for ever, with or without helper threads and
// whether the caller asks while adding or only at the end; each request's
// own further work sees its sizes.
TEST(VLFileSizeReader, GivesEveryRequestItsOwnFilesSizes) {
  VLFileHelper* helper = VLPlatformFactory::instance()->getFileHelper();
  TestFolder folder;
  const int kFiles = 700;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i);
    folder.writeFile(name, std::string(size_t(i), 'x'));
    if (i % 3 == 0) folder.writeFile(name + ".part", std::string(size_t(i % 7 + 1), 'b'));
  }
  const struct {
    std::string directory;
    unsigned threads;
    bool askWhileAdding;
  } cases[] = {{folder.path(), 0, false},
               {folder.path(), 3, false},
               {folder.path(), 3, true},
               {folder.file("missing"), 2, true}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.directory + " threads " + std::to_string(test.threads));
    const bool missing = test.directory != folder.path();
    std::deque<Request> requests;
    int checked = 0;
    {
      VLFileSizeReader reader(helper, test.directory, test.threads);
      for (int i = 0; i < kFiles + 1; ++i) {  // and one file that is not there
        requests.emplace_back();
        requests.back().name = "f" + std::to_string(i);
        reader.add(&requests.back());
        while (test.askWhileAdding && size_t(checked) < requests.size() &&
               reader.isDone(&requests[size_t(checked)], false))
          ++checked;
      }
      for (Request& request : requests) EXPECT_TRUE(reader.isDone(&request, true));
    }
    for (int i = 0; i < kFiles + 1; ++i) {
      const Request& request = requests[size_t(i)];
      const bool exists = !missing && i < kFiles;
      EXPECT_EQ(exists ? uint64_t(i) : 0u, request.contentSize) << request.name;
      EXPECT_EQ(exists && i % 3 == 0 ? uint64_t(i % 7 + 1) : 0u, request.bitmapSize) << request.name;
      EXPECT_EQ(request.contentSize + 1000 * request.bitmapSize, request.seen) << request.name;
    }
  }
}

}  // namespace
