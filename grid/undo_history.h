#pragma once
// The user's steps (typed edits, pastes, Delete, and whatever else the grid
// lets the user take back) and how far they have been taken back.
//
// Bounded by steps and by bytes: a paste of a million cells holds every cell's
// text before and after it, and ten of them would hold gigabytes. Beyond a
// bound the oldest steps are dropped. QUndoStack can do neither (its limit
// can be set only while it is empty, and it counts steps alone), so the steps
// stay QUndoCommands but live here.
//
// A single step larger than the byte bound is kept, alone: the paste it
// belongs to has been made and its memory found already, and taking back the
// last paste is what the user is most likely to want.

#include <QUndoCommand>

#include <cstddef>
#include <deque>
#include <memory>

namespace velkin {

class UndoStep : public QUndoCommand {
public:
    using QUndoCommand::QUndoCommand;
    // Memory the step holds, its texts included; fixed once it is pushed.
    virtual std::size_t bytes() const = 0;
    // Memory that taking the step back, or making it again, takes from the
    // system: the texts it writes into the sheet.
    virtual std::size_t undoBytes() const = 0;
    virtual std::size_t redoBytes() const = 0;
};

class UndoHistory {
public:
    UndoHistory(std::size_t maxSteps, std::size_t maxBytes) : maxSteps_(maxSteps), maxBytes_(maxBytes) {}

    // Runs the step and keeps it as the newest. The steps that could have
    // been made again are dropped, then the oldest beyond the bounds. When
    // the step throws, the history stays as it was and the step is dropped.
    void push(std::unique_ptr<UndoStep> step);
    // Drops now what a push of a step of `bytes` would drop, so that its
    // memory is free before the step is made; returns how much that was.
    std::size_t makeRoomFor(std::size_t bytes);
    // What makeRoomFor(bytes) would free, without dropping anything.
    std::size_t roomMadeFor(std::size_t bytes) const;

    const UndoStep* nextUndo() const { return done_ > 0 ? steps_[done_ - 1].get() : nullptr; }
    const UndoStep* nextRedo() const { return done_ < steps_.size() ? steps_[done_].get() : nullptr; }
    // Take back or make again one step; nothing when there is none. When the
    // step throws, it counts as not taken.
    void undo();
    void redo();
    void clear();

    std::size_t stepCount() const { return steps_.size(); }
    std::size_t bytes() const { return bytes_; }

private:
    void dropRedoable();
    void dropOldest();

    std::size_t maxSteps_, maxBytes_;
    std::deque<std::unique_ptr<UndoStep>> steps_;
    std::size_t done_ = 0;  // steps_[0, done_) can be taken back, the rest made again
    std::size_t bytes_ = 0;
};

}  // namespace velkin
