#pragma once
// The "start over" step of a record queue (the decoder's queues, a live
// client's queue): empty it but keep the newest record that describes the
// stream, since what follows needs it. A pure function on the caller's
// queue, called with that queue's lock held.
#include <algorithm>
#include <deque>

namespace Quillet {

// Empties `queue` except for its newest element that `isDescription`
// accepts; true when one was kept.
template <class Record, class IsDescription>
bool ClearKeepingNewest(std::deque<Record>& queue, IsDescription isDescription)
{
    auto it = std::find_if(queue.rbegin(), queue.rend(), isDescription);
    Record keep = it != queue.rend() ? *it : Record{};
    queue.clear();
    if (!keep)
        return false;
    queue.push_back(std::move(keep));
    return true;
}

} // namespace Quillet
