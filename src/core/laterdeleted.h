#pragma once

#include <QObject>

#include <memory>

/// Deletes a QObject from the event loop instead of on the spot. A network
/// reply awaited in a coroutine is handed back from inside its own finished()
/// signal; deleting it there pulls it out from under the code that emitted
/// the signal (a transfer timeout's abort, for one).
struct DeleteLater {
    void operator()(QObject *object) const
    {
        if (object)
            object->deleteLater();
    }
};

template<typename T> using LaterDeleted = std::unique_ptr<T, DeleteLater>;
