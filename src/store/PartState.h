#pragma once

// What a part row stands for; the mail table keeps it as a number in its
// stat column, and only the store turns one into the other (StoredState,
// StateFromStored): statements bind the number, their text never holds one.
enum class PartState {
  kCached = 0,            // content here, message in the mailbox
  kAwaitingUpload = 1,    // content here, no message yet
  kAwaitingDownload = 2,  // message in the mailbox, content not here yet
  kDeleted = 3,           // the file is gone; its message waits for deletion
  kAppended = 4,          // message appended, its mail id not learnt yet
};

inline int StoredState(PartState state) { return static_cast<int>(state); }
// A number no state has compares unequal to every named state.
inline PartState StateFromStored(int stored) { return static_cast<PartState>(stored); }
