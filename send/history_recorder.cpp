// SPDX-License-Identifier: Apache-2.0
#include "send/history_recorder.h"

#include <exception>

namespace kestravo::send {

HistoryRecorder::HistoryRecorder(Open open, Tell tell) : open_(std::move(open)), tell_(std::move(tell)) {}

template <class Write>
void HistoryRecorder::Keep(Write&& write) noexcept
{
    if (failed_ || !open_)
        return;
    QString problem;
    try {
        if (!book_)
            book_ = open_();
        if (book_)
            write(*book_);
        return;
    } catch (const std::exception& e) {
        problem = QString::fromUtf8(e.what());
    } catch (...) {
    }
    // The send goes on as if no history were kept.
    failed_ = true;
    book_.reset();
    rows_.clear();
    if (tell_)
        tell_(problem.isEmpty() ? QStringLiteral("unknown failure") : problem);
}

void HistoryRecorder::OpenNow() noexcept
{
    Keep([](HistoryBook&) {});
}

void HistoryRecorder::Begin(std::size_t index, const SbdMessage& message) noexcept
{
    if (rows_.count(index))
        return;
    Keep([&](HistoryBook& book) { rows_[index] = book.Begin(message); });
}

void HistoryRecorder::Reference(std::size_t index, const QString& reference) noexcept
{
    const auto row = rows_.find(index);
    if (row != rows_.end())
        Keep([&](HistoryBook& book) { book.Reference(row->second, reference); });
}

void HistoryRecorder::Finish(std::size_t index, const SbdResult& result) noexcept
{
    const auto row = rows_.find(index);
    if (row == rows_.end())
        return;
    const qint64 id = row->second;
    rows_.erase(row);
    Keep([&](HistoryBook& book) { book.Finish(id, result); });
}

} // namespace kestravo::send
