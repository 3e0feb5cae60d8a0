// The record store behind the mask grids: current row, pending edits and
// additions, commit, discard and delete.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "ui/mask_model.h"
#include "ui/ui_hooks.h"
#include "ui_test_util.h"

namespace tessel {
namespace {

using State = TMaskModel::State;

MaskList ListOf(std::initializer_list<const char*> items) {
  MaskList list;
  for (const char* item : items) list.Append(item);
  list.Current = 0;
  return list;
}

TEST(MaskModelTest, AnEditStaysPendingUntilItIsCommitted) {
  MaskList list = ListOf({"/a/*.*", "/b/*.*"});
  TMaskModel model(list, "title");
  EXPECT_EQ(model.rowCount(), 2);
  EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QString("title"));
  model.SetPendingText("/c/*.*");
  EXPECT_EQ(model.GetState(), State::Edit);
  EXPECT_EQ(model.data(model.index(0, 0), Qt::DisplayRole).toString(), QString("/c/*.*"));
  EXPECT_EQ(list.Items[0], "/a/*.*");
  // Leaving the row commits it.
  model.SetCurrentRow(1);
  EXPECT_EQ(model.GetState(), State::Browse);
  EXPECT_EQ(list.Items[0], "/c/*.*");
  EXPECT_EQ(list.Current, 1u);
  // Cancel throws a pending edit away.
  model.SetPendingText("/d/*.*");
  model.Cancel();
  EXPECT_EQ(list.Items[1], "/b/*.*");
  EXPECT_EQ(model.CurrentText(), QString("/b/*.*"));
}

TEST(MaskModelTest, AddedRowsAreCommittedOnlyWhenGivenAText) {
  MaskList list;
  TMaskModel model(list, "title");
  model.Edit();  // in an empty list this adds a row
  EXPECT_EQ(model.GetState(), State::Insert);
  EXPECT_EQ(model.rowCount(), 1);
  EXPECT_EQ(model.RecordCount(), 0);
  model.Post();  // an untouched new row disappears
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(model.GetState(), State::Browse);

  model.Append();
  model.SetPendingText("/x/*.*");
  model.Append();  // commits the first, adds a second
  EXPECT_EQ(list.Items, std::vector<std::string>{"/x/*.*"});
  EXPECT_EQ(model.CurrentRow(), 1);
  model.SetPendingText("/y/*.*");
  model.DeleteCurrent();  // a row being added is discarded
  EXPECT_EQ(list.Items, std::vector<std::string>{"/x/*.*"});
  EXPECT_EQ(model.rowCount(), 1);
  EXPECT_EQ(model.CurrentRow(), 0);
}

TEST(MaskModelTest, DeleteKeepsACurrentRowInsideTheList) {
  MaskList list = ListOf({"1", "2", "3"});
  TMaskModel model(list, "title");
  QSignalSpy moved(&model, &TMaskModel::CurrentRowMoved);
  model.SetCurrentRow(2);
  model.DeleteCurrent();
  EXPECT_EQ(list.Items, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(model.CurrentRow(), 1);
  EXPECT_EQ(list.Current, 1u);
  model.DeleteCurrent();
  model.DeleteCurrent();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(list.Current, 0u);
  model.DeleteCurrent();  // nothing left: nothing happens
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_GE(moved.count(), 3);
}

TEST(MaskModelTest, TextsAreCutToTheMaskLength) {
  MaskList list;
  TMaskModel model(list, "title");
  model.Append();
  model.SetPendingText(QString(600, QChar(0x0436)));  // Cyrillic: two bytes each
  model.Post();
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(ToQ(list.Items[0]).size(), 500);
}

TEST(MaskModelTest, ReloadFollowsTheListsCurrentEntry) {
  MaskList list = ListOf({"1", "2", "3"});
  list.Current = 2;
  TMaskModel model(list, "title");
  EXPECT_EQ(model.CurrentRow(), 2);
  list.Current = 0;
  model.SetPendingText("changed");
  model.Reload();
  EXPECT_EQ(model.CurrentRow(), 0);
  EXPECT_EQ(model.GetState(), State::Browse);
  EXPECT_EQ(list.Items[2], "3");
}

}  // namespace
}  // namespace tessel
