// The ready-made GET handlers: static data, a single file and a folder tree, with a table of path
// traversal attempts that must never reach a file outside the folder.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "httpserver/tests/HTTPTestSupport.h"

using namespace httptest;
namespace fs = std::filesystem;

class GETHandlerTest : public ServerTest {
 protected:
  // The served folder "site" and, beside it, a secret that must stay out of reach:
  //   site/index.html, site/hello.txt, site/.hidden, site/sub/inner.txt, site/sub/deeper/x.txt,
  //   site/noindex/a.txt, site/noindex/sub/b.txt, site/noindex/.dot
  //   site/out -> ../secret (folder link), site/secret.txt -> ../secret/secret.txt (file link),
  //   site/inside -> hello.txt (file link inside), site/fifo (a named pipe)
  void SetUp() override {
    ServerTest::SetUp();
    site = root() / "site";
    writeFile("site/index.html", "<h1>index</h1>");
    writeFile("site/hello.txt", "hello world");
    writeFile("site/.hidden", "hidden");
    writeFile("site/sub/inner.txt", "inner");
    writeFile("site/sub/deeper/x.txt", "x");
    writeFile("site/noindex/a.txt", "a");
    writeFile("site/noindex/sub/b.txt", "b");
    writeFile("site/noindex/.dot", "dot");
    writeFile("secret/secret.txt", "TOP SECRET");
    fs::create_directory_symlink("../secret", site / "out");
    fs::create_symlink("../secret/secret.txt", site / "secret.txt");
    fs::create_symlink("hello.txt", site / "inside");
    ASSERT_EQ(::mkfifo((site / "fifo").c_str(), 0600), 0);
  }

  fs::path site;
};

TEST_F(GETHandlerTest, StaticData) {
  server->addGETHandlerForPath("/static/Data.bin", platform::dataFromString("\x01\x02 bytes"),
                               "application/x-thing", 3600);
  ASSERT_TRUE(startServer());
  for (const std::string path : {"/static/Data.bin", "/STATIC/data.BIN", "/static/Data.bin?x=1"}) {
    auto response = curl({url(path)});
    EXPECT_EQ(response.status, 200) << path;
    EXPECT_EQ(response.body, "\x01\x02 bytes") << path;
    EXPECT_EQ(response.header("Content-Type"), "application/x-thing");
    EXPECT_EQ(response.header("Cache-Control"), "max-age=3600, public");
  }
  auto head = curl({"-I", url("/static/Data.bin")});
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("Content-Length"), "8");
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(curl({"-X", "POST", url("/static/Data.bin")}).status, 501);
  EXPECT_EQ(curl({url("/static/Data.bin/more")}).status, 501);
}

TEST_F(GETHandlerTest, SingleFile) {
  server->addGETHandlerForPath("/ranged", site / "hello.txt", false, 60, true);
  server->addGETHandlerForPath("/whole", site / "hello.txt", true, 0, false);
  server->addGETHandlerForPath("/missing", site / "nothing.txt", false, 0, false);
  server->addGETHandlerForPath("/link", site / "inside", false, 0, false);
  ASSERT_TRUE(startServer());

  auto ranged = curl({"-H", "Range: bytes=6-", url("/RANGED")});
  EXPECT_EQ(ranged.status, 206);
  EXPECT_EQ(ranged.body, "world");
  EXPECT_EQ(ranged.header("Accept-Ranges"), "bytes");
  EXPECT_EQ(ranged.header("Content-Range"), "bytes 6-10/11");
  EXPECT_EQ(ranged.header("Cache-Control"), "max-age=60, public");
  EXPECT_EQ(ranged.header("Content-Type"), "text/plain");

  auto whole = curl({"-H", "Range: bytes=6-", url("/whole")});
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.body, "hello world");
  EXPECT_FALSE(whole.has("Accept-Ranges"));
  EXPECT_EQ(whole.header("Cache-Control"), "no-cache");
  EXPECT_TRUE(whole.header("Content-Disposition").starts_with("attachment; filename=\"hello.txt\""));

  // No usable regular file: the handler has nothing to answer.
  EXPECT_EQ(curl({url("/missing")}).status, 500);
  EXPECT_EQ(curl({url("/link")}).status, 500);
}

TEST_F(GETHandlerTest, FolderWithIndexFilesAndListings) {
  server->addGETHandlerForBasePath("/site/", site, "index.html", 120, false);
  ASSERT_TRUE(startServer());

  // The base path itself answers its index file, without the cache age.
  auto index = curl({url("/site/")});
  EXPECT_EQ(index.status, 200);
  EXPECT_EQ(index.body, "<h1>index</h1>");
  EXPECT_EQ(index.header("Content-Type"), "text/html");
  EXPECT_EQ(index.header("Cache-Control"), "no-cache");

  auto file = curl({"-H", "Range: bytes=0-1", url("/site/sub/inner.txt")});
  EXPECT_EQ(file.status, 200) << "ranges are off";
  EXPECT_EQ(file.body, "inner");
  EXPECT_EQ(file.header("Cache-Control"), "max-age=120, public");
  EXPECT_FALSE(file.has("Accept-Ranges"));

  // Without an index file: a listing of the top level, hidden entries left out, sorted.
  auto listing = curl({url("/site/noindex/")});
  EXPECT_EQ(listing.status, 200);
  EXPECT_EQ(listing.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(listing.header("Cache-Control"), "max-age=120, public");
  EXPECT_EQ(listing.body,
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"></head><body>\n<ul>\n"
            "<li><a href=\"a.txt\">a.txt</a></li>\n"
            "<li><a href=\"sub/\">sub/</a></li>\n"
            "</ul>\n</body></html>\n");

  // The same base path in another letter case is not this handler's.
  EXPECT_EQ(curl({url("/SITE/hello.txt")}).status, 501);
  EXPECT_EQ(curl({"-X", "POST", url("/site/hello.txt")}).status, 501);
  auto head = curl({"-I", url("/site/hello.txt")});
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("Content-Length"), "11");
}

TEST_F(GETHandlerTest, FolderWithoutIndexNameListsTheBasePath) {
  server->addGETHandlerForBasePath("/", site, std::nullopt, 0, true);
  ASSERT_TRUE(startServer());
  auto listing = curl({url("/")});
  EXPECT_EQ(listing.status, 200);
  // Files and folders only: the links, the pipe and the hidden file give no line.
  EXPECT_EQ(listing.body,
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"></head><body>\n<ul>\n"
            "<li><a href=\"hello.txt\">hello.txt</a></li>\n"
            "<li><a href=\"index.html\">index.html</a></li>\n"
            "<li><a href=\"noindex/\">noindex/</a></li>\n"
            "<li><a href=\"sub/\">sub/</a></li>\n"
            "</ul>\n</body></html>\n");

  auto ranged = curl({"-H", "Range: bytes=-5", url("/hello.txt")});
  EXPECT_EQ(ranged.status, 206);
  EXPECT_EQ(ranged.body, "world");
  EXPECT_EQ(ranged.header("Accept-Ranges"), "bytes");
}

TEST_F(GETHandlerTest, ListingEscapesNames) {
  writeFile("odd/<b>&\"q\" 'x'.txt", "odd");
  writeFile("odd/<script>alert(1)/f", "f");
  server->addGETHandlerForBasePath("/", root() / "odd", std::nullopt, 0, false);
  ASSERT_TRUE(startServer());
  auto listing = curl({url("/")});
  EXPECT_EQ(listing.status, 200);
  EXPECT_EQ(listing.body.find("<b>"), std::string::npos);
  EXPECT_EQ(listing.body.find("<script>"), std::string::npos);
  EXPECT_NE(listing.body.find("<li><a href=\"%3Cb%3E%26%22q%22%20%27x%27.txt\">&lt;b&gt;&amp;&quot;q&quot; "
                              "&#39;x&#39;.txt</a></li>"),
            std::string::npos)
      << listing.body;
  EXPECT_NE(listing.body.find("href=\"%3Cscript%3Ealert%281%29/\">&lt;script&gt;alert(1)/</a>"),
            std::string::npos)
      << listing.body;
  // And the escaped link leads back to the file.
  EXPECT_EQ(curl({url("/%3Cb%3E%26%22q%22%20%27x%27.txt")}).body, "odd");
}

TEST_F(GETHandlerTest, DirectListingOfAFolder) {
  auto listing = WebServer::responseWithContentsOfDirectory(site / "sub");
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->contentType(), "text/html; charset=utf-8");
  EXPECT_FALSE(WebServer::responseWithContentsOfDirectory(site / "nothing"));
  EXPECT_FALSE(WebServer::responseWithContentsOfDirectory(site / "hello.txt"));
}

TEST_F(GETHandlerTest, BasePathsThatDoNotEndInASlashRegisterNothing) {
  server->addGETHandlerForBasePath("/site", site, "index.html", 0, false);
  server->addGETHandlerForBasePath("site/", site, "index.html", 0, false);
  EXPECT_TRUE(server->handlers().empty());
}

// Requests that must never be answered with anything from outside the folder, nor with a link.
struct TraversalCase {
  const char* path;
  int status;
};

class FolderTraversalTest : public GETHandlerTest, public ::testing::WithParamInterface<TraversalCase> {};

TEST_P(FolderTraversalTest, NeverLeavesTheFolder) {
  server->addGETHandlerForBasePath("/files/", site, "index.html", 0, true);
  ASSERT_TRUE(startServer());
  const auto& row = GetParam();
  auto response = curl({"--path-as-is", url(row.path)});
  EXPECT_EQ(response.status, row.status) << row.path;
  EXPECT_EQ(response.raw.find("TOP SECRET"), std::string::npos) << row.path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FolderTraversalTest,
    ::testing::Values(
        // Control rows: what lies inside is served.
        TraversalCase{"/files/hello.txt", 200}, TraversalCase{"/files/sub/./inner.txt", 200},
        TraversalCase{"/files//sub//inner.txt", 200},
        TraversalCase{"/files/sub%2Finner.txt", 200},  // an encoded slash is a slash once decoded
        // Parent segments, plain and encoded.
        TraversalCase{"/files/../secret/secret.txt", 404},
        TraversalCase{"/files/sub/../../secret/secret.txt", 404},
        TraversalCase{"/files/%2e%2e/secret/secret.txt", 404},
        TraversalCase{"/files/%2E%2E/secret/secret.txt", 404},
        TraversalCase{"/files/.%2e/secret/secret.txt", 404},
        TraversalCase{"/files/..%2fsecret%2fsecret.txt", 404},
        TraversalCase{"/files/%2e%2e%2fsecret%2fsecret.txt", 404}, TraversalCase{"/files/sub/..", 404},
        TraversalCase{"/files/..", 404},
        // Backslashes and NUL bytes.
        TraversalCase{"/files/..%5csecret%5csecret.txt", 404},
        TraversalCase{"/files/sub%5c..%5c..%5csecret", 404}, TraversalCase{"/files/hello.txt%00.html", 404},
        TraversalCase{"/files/%00", 404},
        // Symbolic links, leading out or not, final or in the middle.
        TraversalCase{"/files/out/secret.txt", 404}, TraversalCase{"/files/out/", 404},
        TraversalCase{"/files/secret.txt", 404}, TraversalCase{"/files/inside", 404},
        // Other kinds of items, and missing ones.
        TraversalCase{"/files/fifo", 404}, TraversalCase{"/files/nothing.txt", 404},
        TraversalCase{"/files/hello.txt/more", 404},
        // Escapes that do not decode are refused before any handler.
        TraversalCase{"/files/%c0%ae%c0%ae/secret/secret.txt", 400}, TraversalCase{"/files/%zz", 400}),
    [](const ::testing::TestParamInfo<TraversalCase>& info) { return "Row" + std::to_string(info.index); });

TEST_F(GETHandlerTest, DevicesAreNotServed) {
  fs::path folder = root() / "devices";
  fs::create_directories(folder);
  fs::create_symlink("/dev/zero", folder / "zero");
  server->addGETHandlerForBasePath("/", folder, std::nullopt, 0, false);
  // A folder route whose folder is a link (a resource folder linked into a build tree) still works.
  fs::create_directory_symlink(site, root() / "site-link");
  server->addGETHandlerForBasePath("/linked/", root() / "site-link", std::nullopt, 0, false);
  ASSERT_TRUE(startServer());
  EXPECT_EQ(curl({url("/zero")}).status, 404);
  EXPECT_EQ(curl({url("/linked/hello.txt")}).body, "hello world");
}
