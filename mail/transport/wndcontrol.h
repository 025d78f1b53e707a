// SPDX-License-Identifier: Apache-2.0
#pragma once
// TVyrWndControl: the base of components that receive posted notifications on their owner's
// thread. A component reserves its own message numbers; messages posted to them are handled one
// at a time, from the event loop, by the component that reserved them. Freeing a component
// discards its queued messages. An exception escaping a handler never crosses Qt's code: it goes
// to HandleBackGroundException.
#include "../errors.h"

#include <QObject>
#include <exception>
#include <functional>
#include <vector>

namespace kestravo::mail {

class TVyrWndControl : public QObject {
public:
    explicit TVyrWndControl(QObject* parent = nullptr);
    ~TVyrWndControl() override;

    // Background exceptions: called with CanClose = true; leaving it true lets the component be
    // aborted (the registered owner's abort first, then AbortComponent). Its own exceptions are
    // swallowed.
    std::function<void(TVyrWndControl* Sender, const std::exception& E, bool& CanClose)> OnBgException;

    // The owner's abort, run on a background exception before this component's own abort (the
    // SMTP client registers its AbortComponent with its socket).
    void SetBgExceptionOwnerAbort(std::function<void()> ownerAbort);

    virtual void AbortComponent();

    // Frees the component later, from the event loop: safe from inside one of its own handlers.
    void Release();

protected:
    // Reserves one more message number for this component and returns it.
    int AllocateMsg();
    // Posts a message of one of this component's numbers; it is handled later by WndProc.
    void PostMsg(int msg, quintptr wParam, qintptr lParam);
    // Handles the component's posted messages; the base ignores what it does not know.
    virtual void WndProc(int msg, quintptr wParam, qintptr lParam);
    void HandleBackGroundException(const std::exception& E);

    bool event(QEvent* e) override;

private:
    int releaseMsg_ = 0;
    std::vector<int> msgNumbers_;
    std::function<void()> ownerAbort_;
};

} // namespace kestravo::mail
