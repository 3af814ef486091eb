// What the walks make of names a server treats in its own way: a name it
// stores under another one while answering that it stored it (pure-ftpd
// turns a blank at the end, or a control byte, into "_"), and a folder
// whose name holds a '"', which not every server doubles in its reply to
// PWD. The walks must rest on the paths they named, and on what the server
// holds under them.
#include <algorithm>

#include "tests/sitepublishing/walk_fixture.h"

using namespace walktest;
using Lines = std::vector<std::string>;

namespace {

// Whether the server stores the name under another one: pure-ftpd turns
// a blank at the end into "_".
bool Rewrites(const std::string& server, const std::string& name) { return server == "pureftpd" && name.back() == ' '; }

class WalkNames : public WalkServerTest {
 protected:
  std::string Unheld(const std::string& rel) const {
    return "1 Error putting " + Local(rel) + " to " + Remote() + "/" + rel +
           ": the server holds no file of that name and size afterwards";
  }
  Lines Errors() const { return uploadLog_.TextsOf(lkError); }
  bool Logged(const std::string& line) const {
    const Lines text = uploadLog_.Text();
    return std::find(text.begin(), text.end(), line) != text.end();
  }
};

// A name the server cannot hold is an error with no stamp, on every run;
// what its bytes overwrote on the server under the name the server chose
// (a published "notes_") is sent again, so the site keeps its own copy.
TEST_P(WalkNames, ANameTheServerStoresUnderAnotherIsAnErrorWithoutAStamp) {
  Write(Local("notes_"), "published notes_");
  Write(Local("sub/notes_"), "published sub/notes_");
  Project->Upload(true);
  ASSERT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  ASSERT_EQ(Recorded("notes_"), Stamp("notes_"));

  Write(Local("notes "), "the other notes, of another length");
  Write(Local("sub/notes "), "the other notes, of another length");
  const bool rewrites = Rewrites(GetParam(), "notes ");
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    Project->Upload(true);
    for (const std::string rel : {"notes ", "sub/notes "}) {
      SCOPED_TRACE(rel);
      EXPECT_EQ(Logged("0 uploading file notes "), run == 1 || rewrites);
      if (rewrites) {
        EXPECT_TRUE(Logged(Unheld(rel))) << testing::PrintToString(uploadLog_.Text());
        EXPECT_EQ(Recorded(rel), "");
      } else {
        EXPECT_EQ(testsupport::ReadFile(Disk(rel)), "the other notes, of another length");
        EXPECT_EQ(Recorded(rel), Stamp(rel));
      }
    }
    EXPECT_EQ(testsupport::ReadFile(Disk("notes_")), "published notes_");
    EXPECT_EQ(testsupport::ReadFile(Disk("sub/notes_")), "published sub/notes_");
    EXPECT_EQ(Recorded("notes_"), Stamp("notes_"));
    EXPECT_EQ(Recorded("sub/notes_"), Stamp("sub/notes_"));
    if (rewrites)
      EXPECT_EQ(Errors(), (Lines{Unheld("notes ").substr(2), Unheld("sub/notes ").substr(2),
                                 "Upload completed with errors."}));
    else
      EXPECT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  }
}

// A control byte in a name: one server turns it into "_" in every command
// (so even SIZE answers for the name), and listings show no such name. The
// file and the folder stay local with an error, and the published file of
// the rewritten name is not overwritten.
TEST_P(WalkNames, AControlByteInANameKeepsTheEntryLocalWithAnError) {
  Write(Local("tab_here.txt"), "published");
  Project->Upload(true);
  ASSERT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  Write(Local("tab\there.txt"), "tab file, longer than the other");
  Write(Local("tab\tdir/in.txt"), "in the tab folder");
  Project->Upload(true);
  const std::string why = ": its name holds a control byte, which a server may store under another name, over "
                          "another file";
  Lines errors = Errors(), want = {"Skipped " + Local("tab\there.txt") + why,
                                   "Skipped " + Local("tab\tdir") + why, "Upload completed with errors."};
  std::sort(errors.begin(), errors.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(errors, want) << testing::PrintToString(uploadLog_.Text());
  EXPECT_EQ(Recorded("tab\there.txt"), "");
  EXPECT_EQ(TreeOf(Disk()), (Lines{"tab_here.txt"}));
  EXPECT_EQ(testsupport::ReadFile(Disk("tab_here.txt")), "published");
}

// The walks name every folder by the path they changed into, not by the
// server's reply to PWD: files of the folders '"' and 'q"q' land there,
// Delete Old deletes the stale files there and nothing else, and a remote
// folder field naming such a folder maps its entries.
TEST_P(WalkNames, FoldersWhoseNamesHoldAQuoteAreWalkedByTheirOwnPaths) {
  Write(Local("\"/index.htm"), "quote page");
  Write(Local("q\"q/page.htm"), "q page");
  Write(Local("q\"q/sub/deep.txt"), "deep");
  Write(Local("keep.txt"), "keep");
  // What a misread reply would name instead.
  RemoteTree({"q/", "q\"q/stale.txt"});
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  EXPECT_EQ(testsupport::ReadFile(Disk("\"/index.htm")), "quote page");
  EXPECT_EQ(testsupport::ReadFile(Disk("q\"q/page.htm")), "q page");
  EXPECT_EQ(testsupport::ReadFile(Disk("q\"q/sub/deep.txt")), "deep");
  for (const std::string rel : {"\"/index.htm", "q\"q/page.htm", "q\"q/sub/deep.txt"})
    EXPECT_EQ(Recorded(rel), Stamp(rel)) << rel;

  deleteLog_->DefaultAnswer = walkfakes::AnswerYesToAll;
  Project->DeleteOld();
  EXPECT_EQ(deleteLog_->ErrorCount(), 0) << testing::PrintToString(deleteLog_->Text());
  EXPECT_EQ(TreeOf(Disk()), (Lines{"\"/", "\"/index.htm", "keep.txt", "q\"q/", "q\"q/page.htm", "q\"q/sub/",
                                   "q\"q/sub/deep.txt"}));

  RemoteTree({"q\"q/sub/old.txt"});
  form_->Texts[pfFTPPath] = Remote() + "/q\"q";
  form_->Texts[pfPath] = Local("q\"q");
  Project->DeleteOld();
  EXPECT_EQ(Project->RemoteBase, Remote() + "/q\"q");
  EXPECT_EQ(deleteLog_->ErrorCount(), 0) << testing::PrintToString(deleteLog_->Text());
  EXPECT_EQ(TreeOf(Disk("q\"q")), (Lines{"page.htm", "sub/", "sub/deep.txt"}));
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Peers, WalkNames, ::testing::ValuesIn(ftptest::kRealServers),
                         [](const testing::TestParamInfo<std::string>& p) { return p.param; });
