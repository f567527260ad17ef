// The queue's order: starts beyond the limit wait in line, an end lets the
// first waiting one run, Move up and Start now, a changed limit, and the
// place as the rows say it.
#include "download/download_queue.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

// The ids are the letters of a string; a state reads "ab|cd": running a and
// b, c first in line, then d.
std::string State(const TDownloadQueue& q, const std::string& ids) {
  std::string running, waiting(q.WaitingCount(), '?');
  for (const char& id : ids) {
    if (q.Runs(&id)) running += id;
    if (const int place = q.Place(&id)) waiting[place - 1] = id;
  }
  return running + "|" + waiting;
}

TEST(DownloadQueueTest, RunsAtMostTheLimitInTheirOrder) {
  const std::string ids = "abcdef";
  auto id = [&](char c) { return &ids[ids.find(c)]; };
  TDownloadQueue q;
  q.SetLimit(2);
  const struct {
    char op;  // s TryStart, n StartNow, x Stop, u MoveUp, w Wait, N Next (all it hands out), 1-9 SetLimit
    char id;
    bool result;  // what TryStart and MoveUp return
    const char* after;
  } steps[] = {
      {'s', 'a', true, "a|"},      {'s', 'b', true, "ab|"},      {'s', 'c', false, "ab|c"},
      {'s', 'd', false, "ab|cd"},  {'s', 'e', false, "ab|cde"},  {'s', 'c', false, "ab|cde"},  // keeps its place
      {'s', 'a', true, "ab|cde"},  {'u', 'e', true, "ab|ced"},   {'u', 'c', false, "ab|ced"},  // first already
      {'u', 'a', false, "ab|ced"}, {'N', 0, false, "ab|ced"},    // no free slot
      {'x', 'a', false, "b|ced"},  {'N', 0, false, "bc|ed"},     // an end lets the first run
      {'n', 'd', false, "bcd|e"},  {'x', 'b', false, "cd|e"},    {'N', 0, false, "cd|e"},  // d ran beyond
      {'x', 'e', false, "cd|"},    {'w', 'f', false, "cd|f"},    {'w', 'c', false, "cd|f"},
      {'4', 0, false, "cd|f"},     {'N', 0, false, "cdf|"},      {'1', 0, false, "cdf|"},  // nothing stops
      {'s', 'a', false, "cdf|a"},  {'x', 'c', false, "df|a"},    {'x', 'd', false, "f|a"},
      {'N', 0, false, "f|a"},      {'x', 'f', false, "|a"},      {'N', 0, false, "a|"},
      {'0', 0, false, "a|"},       {'s', 'b', true, "ab|"},      {'s', 'c', true, "abc|"},  // no limit
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(std::string(1, s.op) + s.id + " -> " + s.after);
    switch (s.op) {
      case 's': EXPECT_EQ(q.TryStart(id(s.id)), s.result); break;
      case 'n': q.StartNow(id(s.id)); break;
      case 'x': q.Stop(id(s.id)); break;
      case 'u': EXPECT_EQ(q.MoveUp(id(s.id)), s.result); break;
      case 'w': q.Wait(id(s.id)); break;
      case 'N':
        while (q.Next()) {
        }
        break;
      default: q.SetLimit(s.op - '0'); break;
    }
    EXPECT_EQ(State(q, ids), s.after);
  }
}

TEST(DownloadQueueTest, PlacesReadAsOrdinals) {
  const struct {
    int place;
    const char* text;
  } cases[] = {{1, "Queued (1st)."},   {2, "Queued (2nd)."},   {3, "Queued (3rd)."},    {4, "Queued (4th)."},
               {11, "Queued (11th)."}, {12, "Queued (12th)."}, {13, "Queued (13th)."},  {21, "Queued (21st)."},
               {22, "Queued (22nd)."}, {101, "Queued (101st)."}, {112, "Queued (112th)."}};
  for (const auto& c : cases) EXPECT_EQ(QueuedText(c.place), c.text);
}

}  // namespace
}  // namespace quillon
