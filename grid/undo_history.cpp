#include "grid/undo_history.h"

namespace velkin {

void UndoHistory::push(std::unique_ptr<UndoStep> step) {
    step->redo();
    dropRedoable();
    bytes_ += step->bytes();
    steps_.push_back(std::move(step));
    done_ = steps_.size();
    while (steps_.size() > 1 && (steps_.size() > maxSteps_ || bytes_ > maxBytes_)) dropOldest();
}

std::size_t UndoHistory::roomMadeFor(std::size_t bytes) const {
    std::size_t kept = 0, freed = 0;
    for (std::size_t i = 0; i < steps_.size(); ++i) (i < done_ ? kept : freed) += steps_[i]->bytes();
    // The oldest go first, while the newest with the new one exceed a bound.
    std::size_t steps = done_;
    for (std::size_t i = 0; i < done_ && (steps + 1 > maxSteps_ || kept + bytes > maxBytes_); ++i, --steps) {
        kept -= steps_[i]->bytes();
        freed += steps_[i]->bytes();
    }
    return freed;
}

std::size_t UndoHistory::makeRoomFor(std::size_t bytes) {
    const std::size_t before = bytes_;
    dropRedoable();
    while (done_ > 0 && (done_ + 1 > maxSteps_ || bytes_ + bytes > maxBytes_)) dropOldest();
    return before - bytes_;
}

void UndoHistory::undo() {
    if (done_ == 0) return;
    steps_[done_ - 1]->undo();
    --done_;
}

void UndoHistory::redo() {
    if (done_ == steps_.size()) return;
    steps_[done_]->redo();
    ++done_;
}

void UndoHistory::clear() {
    steps_.clear();
    done_ = 0;
    bytes_ = 0;
}

void UndoHistory::dropRedoable() {
    while (steps_.size() > done_) {
        bytes_ -= steps_.back()->bytes();
        steps_.pop_back();
    }
}

void UndoHistory::dropOldest() {
    bytes_ -= steps_.front()->bytes();
    steps_.pop_front();
    if (done_ > 0) --done_;
}

}  // namespace velkin
