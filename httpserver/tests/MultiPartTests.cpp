// Multipart forms: fields in memory, files in temporary files, nested "multipart/mixed" fields, the
// caps on what a client can make the parser hold, and forms sent by curl to a real server.

#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "httpserver/WebServerMultiPartFormRequest.h"
#include "httpserver/tests/HTTPTestSupport.h"
#include "platform/Paths.h"

using namespace httptest;
namespace fs = std::filesystem;

namespace {

constexpr const char* kBoundary = "XyZ-boundary-42";

std::shared_ptr<WebServerMultiPartFormRequest> makeFormRequest(const std::string& boundary = kBoundary) {
  WebServerHeaders headers = {{"Content-Type", "multipart/form-data; boundary=" + boundary},
                              {"Transfer-Encoding", "chunked"}};
  return WebServerRequest::requestWithMethod<WebServerMultiPartFormRequest>("POST", "http://localhost/form",
                                                                            headers, "/form", {});
}

// Feeds the body in pieces of the given size; the first failing step and its error.
struct MultiPartOutcome {
  bool opened = false;
  bool written = false;
  bool closed = false;
  platform::Error error;
};

MultiPartOutcome feed(WebServerMultiPartFormRequest& request, const std::string& body, std::size_t piece) {
  MultiPartOutcome outcome;
  request.prepareForWriting();
  outcome.opened = request.performOpen(&outcome.error);
  if (!outcome.opened) return outcome;
  outcome.written = true;
  for (std::size_t i = 0; i < body.size(); i += piece) {
    std::size_t n = std::min(piece, body.size() - i);
    if (!request.performWriteData(std::span(reinterpret_cast<const std::uint8_t*>(body.data()) + i, n),
                                  &outcome.error)) {
      outcome.written = false;
      return outcome;
    }
  }
  outcome.closed = request.performClose(&outcome.error);
  return outcome;
}

// Feeds the body split at one position into two pieces.
MultiPartOutcome feedSplit(WebServerMultiPartFormRequest& request, const std::string& body,
                           std::size_t split) {
  MultiPartOutcome outcome;
  request.prepareForWriting();
  outcome.opened = request.performOpen(&outcome.error);
  auto bytes = reinterpret_cast<const std::uint8_t*>(body.data());
  outcome.written = request.performWriteData(std::span(bytes, split), &outcome.error) &&
                    request.performWriteData(std::span(bytes + split, body.size() - split), &outcome.error);
  outcome.closed = outcome.written && request.performClose(&outcome.error);
  return outcome;
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A part: its header lines and its content.
std::string part(const std::string& headers, const std::string& content,
                 const std::string& boundary = kBoundary) {
  return "--" + boundary + "\r\n" + headers + "\r\n\r\n" + content + "\r\n";
}
std::string closing(const std::string& boundary = kBoundary) { return "--" + boundary + "--\r\n"; }

// The form most tests use: a text field, a file, a field without a type, an empty field, and two
// fields of the same name.
std::string sampleForm(const std::string& fileContent) {
  return "preamble that is skipped\r\n" +
         part("Content-Disposition: form-data; name=\"title\"\r\nContent-Type: text/plain; charset=utf-8",
              "Hello \xC3\xA9") +
         part(
             "Content-Disposition: form-data; name=\"upload\"; filename=\"photo.png\"\r\nContent-Type: "
             "image/png",
             fileContent) +
         part("content-disposition: form-data; name=\"plain\"", "no type") +
         part("Content-Disposition: form-data; name=\"empty\"", "") +
         part("Content-Disposition: form-data; name=\"twice\"", "first") +
         part("Content-Disposition: form-data; name=\"twice\"", "second") + closing() + "epilogue --" +
         kBoundary + "\r\nContent-Disposition: nothing\r\n\r\n";
}

std::size_t filesIn(const fs::path& folder) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
  return count;
}

}  // namespace

class MultiPartTest : public qvtesting::SandboxTest {
 protected:
  fs::path temporaryFolder() const { return platform::paths::temporaryDirectory(); }
};

TEST_F(MultiPartTest, FieldsAndFilesInBodyOrder) {
  // The file is larger than the parser's boundary margin, so it goes to disk in several pieces, and
  // holds line ends and dashes that look a little like boundaries.
  std::string fileContent;
  for (int i = 0; i < 5000; ++i) fileContent += "\r\n--XyZ-boundary-4" + std::to_string(i % 2);
  auto request = makeFormRequest();
  auto outcome = feed(*request, sampleForm(fileContent), 1000);
  ASSERT_TRUE(outcome.closed) << outcome.error.description;

  const auto& arguments = request->arguments();
  ASSERT_EQ(arguments.size(), 5u);
  EXPECT_EQ(arguments[0]->controlName(), "title");
  EXPECT_EQ(arguments[0]->contentType(), "text/plain; charset=utf-8");
  EXPECT_EQ(arguments[0]->mimeType(), "text/plain");
  EXPECT_EQ(arguments[0]->string(), "Hello \xC3\xA9");
  EXPECT_EQ(arguments[1]->controlName(), "plain");
  EXPECT_EQ(arguments[1]->contentType(), "text/plain");
  EXPECT_EQ(arguments[1]->string(), "no type");
  EXPECT_EQ(arguments[2]->controlName(), "empty");
  EXPECT_TRUE(arguments[2]->data().empty());
  EXPECT_EQ(arguments[2]->string(), "");
  EXPECT_EQ(request->firstArgumentForControlName("twice")->string(), "first");
  EXPECT_FALSE(request->firstArgumentForControlName("Title"));
  EXPECT_EQ(arguments[0]->description(), "<WebServerMultiPartArgument | 'text/plain' | 8 bytes>");

  ASSERT_EQ(request->files().size(), 1u);
  auto file = request->firstFileForControlName("upload");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->fileName(), "photo.png");
  EXPECT_EQ(file->mimeType(), "image/png");
  EXPECT_EQ(readAll(file->temporaryPath()), fileContent) << "exactly the bytes, without the line end";
  EXPECT_EQ(file->temporaryPath().parent_path(), temporaryFolder());
  struct stat info {};
  ASSERT_EQ(::stat(file->temporaryPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(file->description(), "<WebServerMultiPartFile | 'image/png' | 'photo.png>'");
  EXPECT_NE(request->description().find("\nupload (image/png): photo.png\n{" +
                                        file->temporaryPath().string() + "}"),
            std::string::npos);
  EXPECT_NE(request->description().find("\ntitle (text/plain; charset=utf-8)\nHello \xC3\xA9"),
            std::string::npos);

  // The file goes with its object.
  fs::path path = file->temporaryPath();
  file.reset();
  request.reset();
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(MultiPartTest, EveryTwoPieceSplitGivesTheSameParts) {
  std::string body = sampleForm("file bytes\r\nwith a line end");
  for (std::size_t split = 0; split <= body.size(); ++split) {
    auto request = makeFormRequest();
    auto outcome = feedSplit(*request, body, split);
    ASSERT_TRUE(outcome.closed) << "split at " << split << ": " << outcome.error.description;
    ASSERT_EQ(request->arguments().size(), 5u) << split;
    EXPECT_EQ(request->arguments()[0]->string(), "Hello \xC3\xA9") << split;
    EXPECT_EQ(request->arguments()[4]->string(), "second") << split;
    ASSERT_EQ(request->files().size(), 1u) << split;
    EXPECT_EQ(readAll(request->files()[0]->temporaryPath()), "file bytes\r\nwith a line end") << split;
  }
  // And byte by byte.
  auto request = makeFormRequest();
  ASSERT_TRUE(feed(*request, body, 1).closed);
  EXPECT_EQ(request->arguments().size(), 5u);
}

TEST_F(MultiPartTest, NestedMixedPartsCarryTheFieldName) {
  std::string inner =
      part("Content-Disposition: file; filename=\"one.txt\"\r\nContent-Type: text/plain", "first file",
           "InnerB") +
      part("Content-Disposition: file; filename=\"two.bin\"", std::string(3000, 'z'), "InnerB") +
      closing("InnerB");
  std::string body =
      part("Content-Disposition: form-data; name=\"before\"", "b") +
      part("Content-Disposition: form-data; name=\"files\"\r\nContent-Type: multipart/mixed; boundary=InnerB",
           inner.substr(0, inner.size() - 2)) +
      part("Content-Disposition: form-data; name=\"after\"", "a") + closing();
  for (std::size_t piece : {1u, 7u, 100u, 100000u}) {
    auto request = makeFormRequest();
    auto outcome = feed(*request, body, piece);
    ASSERT_TRUE(outcome.closed) << piece << ": " << outcome.error.description;
    ASSERT_EQ(request->files().size(), 2u);
    EXPECT_EQ(request->files()[0]->controlName(), "files");
    EXPECT_EQ(request->files()[0]->fileName(), "one.txt");
    EXPECT_EQ(readAll(request->files()[0]->temporaryPath()), "first file");
    EXPECT_EQ(request->files()[1]->controlName(), "files");
    EXPECT_EQ(readAll(request->files()[1]->temporaryPath()), std::string(3000, 'z'));
    ASSERT_EQ(request->arguments().size(), 2u);
    EXPECT_EQ(request->arguments()[0]->controlName(), "before");
    EXPECT_EQ(request->arguments()[1]->controlName(), "after");
  }
}

TEST_F(MultiPartTest, EndingsOfTheBody) {
  // The closing boundary without a line end after it ends the body too.
  {
    auto request = makeFormRequest();
    std::string body = part("Content-Disposition: form-data; name=\"a\"", "1") + "--" + kBoundary + "--";
    EXPECT_TRUE(feed(*request, body, 3).closed);
    EXPECT_EQ(request->arguments().size(), 1u);
  }
  // A form with no part at all.
  {
    auto request = makeFormRequest();
    EXPECT_TRUE(feed(*request, closing(), 100).closed);
    EXPECT_TRUE(request->arguments().empty());
  }
}

struct BadBody {
  const char* name;
  std::string body;
  bool failsOnWrite;  // else the body is accepted piece by piece and fails at the end
};

class MultiPartBadBodyTest : public MultiPartTest, public ::testing::WithParamInterface<BadBody> {};

TEST_P(MultiPartBadBodyTest, FailsAndLeavesNoTemporaryFile) {
  const auto& row = GetParam();
  std::size_t before = filesIn(temporaryFolder());
  {
    auto request = makeFormRequest();
    auto outcome = feed(*request, row.body, 512);
    ASSERT_TRUE(outcome.opened);
    EXPECT_FALSE(outcome.closed);
    EXPECT_EQ(outcome.written, !row.failsOnWrite);
    EXPECT_EQ(outcome.error.domain, kWebServerErrorDomain);
    EXPECT_EQ(outcome.error.description, row.failsOnWrite ? "Failed continuing to parse multipart form data"
                                                          : "Failed finishing to parse multipart form data");
    // The file of the part that failed is gone at once, before the request.
    EXPECT_EQ(filesIn(temporaryFolder()), before + request->files().size());
  }
  EXPECT_EQ(filesIn(temporaryFolder()), before);
}

namespace {
std::string fileHead(const std::string& name = "f") {
  return "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"x.bin\"";
}
std::string nested(int depth) {
  // `depth` levels of multipart/mixed, each holding the next.
  std::string body =
      part("Content-Disposition: file; filename=\"deep.txt\"", "deep", "L" + std::to_string(depth)) +
      closing("L" + std::to_string(depth));
  for (int level = depth; level >= 1; --level) {
    std::string head =
        level == 1 ? "Content-Disposition: form-data; name=\"n\"" : "Content-Disposition: file";
    std::string wrapped =
        part(head + "\r\nContent-Type: multipart/mixed; boundary=L" + std::to_string(level),
             body.substr(0, body.size() - 2), level == 1 ? kBoundary : "L" + std::to_string(level - 1));
    body = wrapped + closing(level == 1 ? kBoundary : "L" + std::to_string(level - 1));
  }
  return body;
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Bodies, MultiPartBadBodyTest,
    ::testing::Values(
        BadBody{"NoClosingBoundary", part("Content-Disposition: form-data; name=\"a\"", "1"), false},
        BadBody{"CutInsideAFile",
                "--" + std::string(kBoundary) + "\r\n" + fileHead() + "\r\n\r\n" + std::string(5000, 'q'),
                false},
        BadBody{"NoDisposition", part("Content-Type: text/plain", "x") + closing(), true},
        BadBody{"DispositionWithoutName",
                part("Content-Disposition: form-data; filename=\"a\"", "x") + closing(), true},
        BadBody{"FileDispositionAtTheTop", part("Content-Disposition: file; filename=\"a\"", "x") + closing(),
                true},
        BadBody{"HeadersNotUTF8", part("Content-Disposition: form-data; name=\"\xFF\"", "x") + closing(),
                true},
        BadBody{"GarbageAfterABoundary",
                part(fileHead(), std::string(3000, 'q')) + "--" + kBoundary + "garbage\r\n" + closing(),
                true},
        BadBody{"FileThenBrokenNestedPart",
                part(fileHead(), std::string(3000, 'q')) +
                    part("Content-Disposition: form-data; name=\"m\"\r\nContent-Type: multipart/mixed; "
                         "boundary=In",
                         "--In\r\nno headers end") +
                    closing(),
                true},
        BadBody{"NestedWithoutBoundary",
                part("Content-Disposition: form-data; name=\"m\"\r\nContent-Type: multipart/mixed", "x") +
                    closing(),
                true},
        BadBody{"NestedTooDeeply", nested(5), true},
        BadBody{"HugeHeaderBlock",
                "--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"a\"\r\nX-Long: " +
                    std::string(20000, 'h') + "\r\n\r\nx\r\n" + closing(),
                true},
        BadBody{"FieldOverTheMemoryCap",
                part("Content-Disposition: form-data; name=\"big\"", std::string(4 * 1024 * 1024 + 1, 'm')) +
                    closing(),
                true},
        BadBody{"PreambleOverTheMemoryCap", std::string(4 * 1024 * 1024 + 1000, 'p') + closing(), true}),
    [](const ::testing::TestParamInfo<BadBody>& info) { return info.param.name; });

TEST_F(MultiPartTest, LimitsAtTheirEdges) {
  // Four levels of nesting are allowed, and a field of exactly the cap.
  {
    auto request = makeFormRequest();
    auto outcome = feed(*request, nested(4), 64);
    ASSERT_TRUE(outcome.closed) << outcome.error.description;
    ASSERT_EQ(request->files().size(), 1u);
    EXPECT_EQ(request->files()[0]->controlName(), "n");
    EXPECT_EQ(readAll(request->files()[0]->temporaryPath()), "deep");
  }
  {
    auto request = makeFormRequest();
    std::string big(4 * 1024 * 1024, 'm');
    auto outcome =
        feed(*request, part("Content-Disposition: form-data; name=\"big\"", big) + closing(), 65536);
    ASSERT_TRUE(outcome.closed) << outcome.error.description;
    EXPECT_EQ(request->arguments()[0]->data().size(), big.size());
  }
  // The part count, with caps of a request's own.
  {
    auto request = makeFormRequest();
    WebServerMultiPartLimits limits;
    limits.maximumPartCount = 3;
    request->setLimits(limits);
    std::string body;
    for (int i = 0; i < 3; ++i) body += part("Content-Disposition: form-data; name=\"p\"", "v");
    EXPECT_TRUE(feed(*request, body + closing(), 100).closed);
    request = makeFormRequest();
    request->setLimits(limits);
    body += part("Content-Disposition: form-data; name=\"p\"", "v");
    EXPECT_FALSE(feed(*request, body + closing(), 100).written);
  }
}

TEST_F(MultiPartTest, UnusableBoundariesRefuseTheBody) {
  for (const std::string& type :
       {std::string("multipart/form-data"), std::string("multipart/form-data; boundary="),
        std::string("multipart/form-data; boundary=") + std::string(71, 'b'),
        std::string("multipart/form-data; boundary=\"caf\xC3\xA9\"")}) {
    WebServerHeaders headers = {{"Content-Type", type}, {"Content-Length", "10"}};
    auto request = WebServerRequest::requestWithMethod<WebServerMultiPartFormRequest>("POST", "http://h/",
                                                                                      headers, "/", {});
    request->prepareForWriting();
    platform::Error error;
    EXPECT_FALSE(request->performOpen(&error)) << type;
    EXPECT_EQ(error.description, "Failed starting to parse multipart form data");
  }
}

TEST_F(MultiPartTest, CharsetsOfTextFields) {
  auto request = makeFormRequest();
  std::string body =
      part("Content-Disposition: form-data; name=\"latin\"\r\nContent-Type: text/plain; charset=ISO-8859-1",
           "caf\xE9") +
      part("Content-Disposition: form-data; name=\"bad\"\r\nContent-Type: text/plain", "\xFF\xFE") +
      part("Content-Disposition: form-data; name=\"bin\"\r\nContent-Type: application/octet-stream", "x") +
      closing();
  ASSERT_TRUE(feed(*request, body, 100).closed);
  EXPECT_EQ(request->firstArgumentForControlName("latin")->string(), "caf\xC3\xA9");
  EXPECT_FALSE(request->firstArgumentForControlName("bad")->string());
  EXPECT_FALSE(request->firstArgumentForControlName("bin")->string());
}

// ---- Over a real server ----

class MultiPartServerTest : public ServerTest {
 protected:
  // A handler that answers what it received: each argument as "name=value" and each file as
  // "name:fileName:type:content:mode" lines.
  void addEchoHandler() {
    server->addHandlerForMethod(
        "POST", "/upload", WebServerRequestClassOf<WebServerMultiPartFormRequest>(),
        [this](const std::shared_ptr<WebServerRequest>& base) -> std::shared_ptr<WebServerResponse> {
          auto request = std::static_pointer_cast<WebServerMultiPartFormRequest>(base);
          std::string text;
          for (const auto& argument : request->arguments()) {
            text += argument->controlName() + "=" + argument->string().value_or("<binary>") + "\n";
          }
          for (const auto& file : request->files()) {
            struct stat info {};
            ::stat(file->temporaryPath().c_str(), &info);
            text += fmt::format("{}:{}:{}:{}:{:o}\n", file->controlName(), file->fileName(), file->mimeType(),
                                readAll(file->temporaryPath()), info.st_mode & 0777);
            std::lock_guard lock(mutex);
            seenPaths.push_back(file->temporaryPath());
          }
          return WebServerDataResponse::responseWithData(platform::dataFromString(text),
                                                         "application/octet-stream");
        });
  }
  std::mutex mutex;
  std::vector<fs::path> seenPaths;
};

TEST_F(MultiPartServerTest, FormsFromCurl) {
  addEchoHandler();
  ServerLog log(kWebServerLoggingLevel_Warning);
  ASSERT_TRUE(startServer());
  writeFile("upload.txt", "line one\nline two\n");
  writeFile("picture.png", std::string("\x89PNG\r\n\x1A\n", 8) + "pixels");
  auto response = curl({"-F", "title=Hello there", "-F", "upload=@" + (root() / "upload.txt").string(), "-F",
                        "pic=@" + (root() / "picture.png").string() + ";type=image/png", url("/upload")});
  ASSERT_EQ(response.status, 200) << response.raw << fmt::format("{}", fmt::join(log.lines(), "\n"));
  EXPECT_EQ(response.body,
            "title=Hello there\n"
            "upload:upload.txt:text/plain:line one\nline two\n:600\n"
            "pic:picture.png:image/png:" +
                std::string("\x89PNG\r\n\x1A\n", 8) + "pixels:600\n");
  // The temporary files go with the request, once the connection has let go of it.
  std::vector<fs::path> paths;
  {
    std::lock_guard lock(mutex);
    paths = seenPaths;
  }
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_TRUE(runUntil([&] { return !fs::exists(paths[0]) && !fs::exists(paths[1]); }));
}

TEST_F(MultiPartServerTest, ChunkedNestedFormByHand) {
  addEchoHandler();
  ASSERT_TRUE(startServer());
  std::string inner = part("Content-Disposition: file; filename=\"a.txt\"", "AAA", "in") +
                      part("Content-Disposition: file; filename=\"b.txt\"", "BBB", "in") + closing("in");
  std::string body =
      part("Content-Disposition: form-data; name=\"who\"", "me") +
      part("Content-Disposition: form-data; name=\"docs\"\r\nContent-Type: multipart/mixed; boundary=in",
           inner.substr(0, inner.size() - 2)) +
      closing();
  writeFile("body.bin", body);
  auto response = curl({"-H", std::string("Content-Type: multipart/form-data; boundary=") + kBoundary, "-H",
                        "Transfer-Encoding: chunked", "--data-binary", "@" + (root() / "body.bin").string(),
                        url("/upload")});
  EXPECT_EQ(response.status, 200) << response.raw;
  EXPECT_EQ(response.body, "who=me\ndocs:a.txt:text/plain:AAA:600\ndocs:b.txt:text/plain:BBB:600\n");
}

TEST_F(MultiPartServerTest, BrokenFormsAbortTheExchange) {
  addEchoHandler();
  ASSERT_TRUE(startServer());
  std::size_t before = filesIn(platform::paths::temporaryDirectory());
  writeFile("broken.bin", part(fileHead(), std::string(100000, 'q')));  // no closing boundary
  auto response = curl({"-H", std::string("Content-Type: multipart/form-data; boundary=") + kBoundary,
                        "--data-binary", "@" + (root() / "broken.bin").string(), url("/upload")});
  EXPECT_EQ(response.status, 500);
  EXPECT_TRUE(runUntil([&] { return filesIn(platform::paths::temporaryDirectory()) == before; }));
  auto noBoundary = curl({"-H", "Content-Type: multipart/form-data", "--data-binary", "x", url("/upload")});
  EXPECT_EQ(noBoundary.status, 500);
}
