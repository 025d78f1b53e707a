// SPDX-License-Identifier: Apache-2.0
#pragma once
// The send history as a send sees it. Both front ends keep it by one policy: a row before the
// attempt, completed with the result; a history that fails never stops the send, and its first
// problem is told once. Which file holds the rows, and what a row holds beside the message, is
// bound where the link is chosen.
#include "send/link.h"

#include <QString>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace kestravo::send {

// The rows of one run. Each call may throw a std::exception whose text says what went wrong.
class HistoryBook {
public:
    virtual ~HistoryBook() = default;
    // A row for a message about to be tried; its id.
    virtual qint64 Begin(const SbdMessage& message) = 0;
    // The gateway side's reference as soon as it is known, so a row keeps it even without an answer.
    virtual void Reference(qint64 row, const QString& reference) = 0;
    virtual void Finish(qint64 row, const SbdResult& result) = 0;
};

class HistoryRecorder {
public:
    // Opens the book at the first write (it may throw); an empty `open` keeps no history.
    using Open = std::function<std::unique_ptr<HistoryBook>()>;
    // Hears the first problem of this recorder, once; after it the history is left alone.
    using Tell = std::function<void(const QString& problem)>;

    explicit HistoryRecorder(Open open = {}, Tell tell = {});

    // Opens the book now rather than at the first row.
    void OpenNow() noexcept;
    // Message `index` is about to be tried; a message tried again keeps its first row.
    void Begin(std::size_t index, const SbdMessage& message) noexcept;
    void Reference(std::size_t index, const QString& reference) noexcept;
    void Finish(std::size_t index, const SbdResult& result) noexcept;

private:
    template <class Write>
    void Keep(Write&& write) noexcept;

    Open open_;
    Tell tell_;
    std::unique_ptr<HistoryBook> book_;
    std::map<std::size_t, qint64> rows_; // unfinished rows by message
    bool failed_ = false;
};

} // namespace kestravo::send
