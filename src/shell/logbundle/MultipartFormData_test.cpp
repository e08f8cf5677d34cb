#include "MultipartFormData.h"

#include <gtest/gtest.h>

#include "TestFolder.h"

namespace {

TEST(MultipartFormDataTest, SectionsInOrderWithTheirHeaders) {
  TestFolder folder;
  std::string path = folder.file("report.txt");
  TestFolder::write(path, std::string("line\r\n\0end", 10));

  MultipartFormData form("XyZ");
  form.addText("udid", "ABC");
  form.addNumber("auto", 0);
  form.addBytes("file", std::string("PK\3\4\0", 5));
  EXPECT_TRUE(form.addFile("report", path, 1024));
  EXPECT_FALSE(form.addFile("missing", folder.file("missing.txt"), 1024));

  EXPECT_EQ("multipart/form-data; boundary=XyZ", form.contentType());
  std::string expected =
      "--XyZ\r\n"
      "Content-Disposition: form-data; name=\"udid\"\r\n\r\n"
      "ABC\r\n"
      "--XyZ\r\n"
      "Content-Disposition: form-data; name=\"auto\"\r\n\r\n"
      "0\r\n"
      "--XyZ\r\n"
      "Content-Disposition: form-data; name=\"file\"; filename=\"file\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n";
  expected += std::string("PK\3\4\0", 5);
  expected +=
      "\r\n"
      "--XyZ\r\n"
      "Content-Disposition: form-data; name=\"report\"; filename=\"report.txt\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n";
  expected += std::string("line\r\n\0end", 10);
  expected +=
      "\r\n"
      "--XyZ--\r\n";
  EXPECT_EQ(expected, form.body());
}

}  // namespace
