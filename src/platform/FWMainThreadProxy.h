#pragma once

// FWMainThreadProxy stands in for a target object and carries every call made
// through it to the main thread (the thread of QCoreApplication::instance()).
// The calling thread waits until the main thread has run the call and gets its
// result, or the exception it threw. A call made on the main thread runs in
// place, at once.
//
// Requirements and hazards:
// - The main thread must serve its event loop (exec, a QEventLoop, or
//   processEvents) while a background thread waits: the call travels as a
//   posted event to the application object (Qt::BlockingQueuedConnection).
//   Once the main loop has stopped for good (shutdown), a background call
//   waits until the application object is destroyed, which drops the call and
//   releases the caller with FWMainThreadCallDropped. So stop every thread that
//   calls through a proxy (or make it stop calling) before leaving exec().
// - A background thread that calls through the proxy while the main thread
//   waits for that thread (join, a lock the caller holds, a blocking call into
//   it) deadlocks.
// - Without an application object every call runs in place.
// - The proxy does not own its target: whoever holds the proxy keeps the
//   target alive for as long as calls can come.
//
// Proxies are always shared: mainThreadProxy(target) makes one, and a proxy's
// own mainThreadProxy() is that same proxy (one more reference), never a proxy
// of a proxy.

#include <QCoreApplication>
#include <QList>
#include <QMetaMethod>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QVariant>
#include <QVariantList>

#include <array>
#include <cstring>
#include <exception>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

// Thrown in the calling thread when the main thread discarded a call without
// running it (the application object went away with the call pending).
class FWMainThreadCallDropped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace fw {

// True on the main thread, and on every thread when there is no application object.
inline bool isMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

// Runs function() on the main thread and returns its result there to the
// caller, who waits; in place when already on the main thread.
template <typename F>
std::invoke_result_t<F&> runOnMainThread(F&& function) {
    using R = std::invoke_result_t<F&>;
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) return std::invoke(function);

    // The caller waits, so the posted call may use everything here by reference.
    using Slot = std::conditional_t<std::is_void_v<R>, bool,
                                    std::conditional_t<std::is_reference_v<R>, std::remove_reference_t<R>*,
                                                       std::optional<R>>>;
    [[maybe_unused]] Slot result{};
    std::exception_ptr error;
    bool ran = false;
    QMetaObject::invokeMethod(
        app,
        [&] {
            // An exception must not escape into the main event loop: it goes back to the caller.
            try {
                if constexpr (std::is_void_v<R>)
                    std::invoke(function);
                else if constexpr (std::is_reference_v<R>)
                    result = std::addressof(std::invoke(function));
                else
                    result.emplace(std::invoke(function));
                ran = true;
            } catch (...) {
                error = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (error) std::rethrow_exception(error);
    if (!ran) throw FWMainThreadCallDropped("the main thread dropped a call made through FWMainThreadProxy");
    if constexpr (std::is_reference_v<R>)
        return static_cast<R>(*result);
    else if constexpr (!std::is_void_v<R>)
        return std::move(*result);
}

}  // namespace fw

template <typename T>
class FWMainThreadProxy : public std::enable_shared_from_this<FWMainThreadProxy<T>> {
    struct Key {
        explicit Key() = default;
    };

public:
    static constexpr int maximumArguments = 10;  // what QMetaMethod::invoke takes

    // Only through create() (or mainThreadProxy(target)): a proxy is always shared.
    FWMainThreadProxy(Key, T* target) : target_(target) {}
    static std::shared_ptr<FWMainThreadProxy> create(T* target) {
        return std::make_shared<FWMainThreadProxy>(Key{}, target);
    }

    T* target() const { return target_; }

    // Runs std::invoke(callable, target, args...) on the main thread and
    // returns its result: a member function of the target, or anything that
    // takes the target first. Arguments pass by reference (the caller waits).
    template <typename Callable, typename... Args>
    decltype(auto) call(Callable&& callable, Args&&... args) {
        return fw::runOnMainThread([&]() -> decltype(auto) {
            return std::invoke(std::forward<Callable>(callable), target_, std::forward<Args>(args)...);
        });
    }

    // Calls a method of a QObject target by name (the Qt meta-object's
    // slots, signals and Q_INVOKABLE methods; a bare name, or a signature such
    // as "add(int,int)") with the arguments converted to its parameter types.
    // A method the target does not have, or none that takes these arguments,
    // is refused here in the calling thread without reaching the main thread.
    std::expected<QVariant, QString> invokeMethod(const char* name, const QVariantList& args = {})
        requires std::is_base_of_v<QObject, T>
    {
        QMetaMethod method = target_ ? findMethod(*target_->metaObject(), name, &args) : QMetaMethod();
        if (!method.isValid()) return std::unexpected(unrecognized(name));
        QVariantList values = args;
        for (int i = 0; i < values.size(); ++i) {
            QMetaType type = method.parameterMetaType(i);
            if (type.id() != QMetaType::QVariant && !values[i].convert(type))
                return std::unexpected(QStringLiteral("-[%1 %2]: argument %3 cannot be converted to %4")
                                           .arg(className(), QString::fromLatin1(name))
                                           .arg(i + 1)
                                           .arg(QString::fromLatin1(type.name())));
        }
        QPointer<QObject> guard(target_);
        return fw::runOnMainThread([&]() -> std::expected<QVariant, QString> {
            if (!guard) return std::unexpected(QStringLiteral("the target of the proxy is gone"));
            return invokeHere(guard.data(), method, values);
        });
    }

    // True for the proxy's own operations and for the target's methods.
    bool respondsToSelector(const char* name) const {
        static constexpr std::array own{"call", "invokeMethod", "respondsToSelector", "mainThreadProxy", "target"};
        for (const char* op : own)
            if (std::strcmp(op, name) == 0) return true;
        if constexpr (std::is_base_of_v<QObject, T>)
            return target_ != nullptr && findMethod(*target_->metaObject(), name, nullptr).isValid();
        return false;
    }

    std::shared_ptr<FWMainThreadProxy> mainThreadProxy() { return this->shared_from_this(); }

private:
    static bool matchesName(const QMetaMethod& method, const char* name) {
        if (std::strchr(name, '(') != nullptr)
            return method.methodSignature() == QMetaObject::normalizedSignature(name);
        return method.name() == QByteArray(name);
    }

    // The first method of that name that takes the arguments (any, when args is null).
    static QMetaMethod findMethod(const QMetaObject& meta, const char* name, const QVariantList* args) {
        for (int i = 0; i < meta.methodCount(); ++i) {
            QMetaMethod method = meta.method(i);
            if (!matchesName(method, name)) continue;
            if (args == nullptr) return method;
            if (method.parameterCount() != args->size() || args->size() > maximumArguments) continue;
            bool fits = true;
            for (int p = 0; p < args->size() && fits; ++p) {
                QMetaType type = method.parameterMetaType(p);
                fits = type.id() == QMetaType::QVariant || QMetaType::canConvert((*args)[p].metaType(), type);
            }
            if (fits) return method;
        }
        return QMetaMethod();
    }

    static std::expected<QVariant, QString> invokeHere(QObject* object, const QMetaMethod& method,
                                                       QVariantList& values) {
        QMetaType returnType = method.returnMetaType();
        QVariant result;
        QGenericReturnArgument returnArgument;
        if (returnType.id() == QMetaType::QVariant) {
            returnArgument = QGenericReturnArgument(method.typeName(), &result);
        } else if (returnType.id() != QMetaType::Void) {
            result = QVariant(returnType);
            returnArgument = QGenericReturnArgument(method.typeName(), result.data());
        }
        const QList<QByteArray> typeNames = method.parameterTypes();
        std::array<QGenericArgument, maximumArguments> a{};
        for (int i = 0; i < values.size(); ++i) {
            bool asVariant = method.parameterMetaType(i).id() == QMetaType::QVariant;
            a[i] = QGenericArgument(typeNames[i].constData(),
                                    asVariant ? static_cast<const void*>(&values[i]) : values[i].constData());
        }
        if (!method.invoke(object, Qt::DirectConnection, returnArgument, a[0], a[1], a[2], a[3], a[4], a[5], a[6],
                           a[7], a[8], a[9]))
            return std::unexpected(QStringLiteral("-[%1 %2]: the call failed")
                                       .arg(QString::fromLatin1(object->metaObject()->className()),
                                            QString::fromLatin1(method.methodSignature())));
        return result;
    }

    QString className() const {
        if constexpr (std::is_base_of_v<QObject, T>)
            if (target_ != nullptr) return QString::fromLatin1(target_->metaObject()->className());
        return QStringLiteral("FWMainThreadProxy");
    }

    QString unrecognized(const char* name) const {
        return QStringLiteral("-[%1 %2]: unrecognized selector sent to instance 0x%3")
            .arg(className(), QString::fromLatin1(name))
            .arg(reinterpret_cast<quintptr>(target_), 0, 16);
    }

    T* target_;
};

// A new proxy for the target.
template <typename T>
std::shared_ptr<FWMainThreadProxy<T>> mainThreadProxy(T* target) {
    return FWMainThreadProxy<T>::create(target);
}

// A proxy's proxy is the proxy itself.
template <typename T>
std::shared_ptr<FWMainThreadProxy<T>> mainThreadProxy(FWMainThreadProxy<T>* proxy) {
    return proxy->mainThreadProxy();
}

template <typename T>
std::shared_ptr<FWMainThreadProxy<T>> mainThreadProxy(const std::shared_ptr<FWMainThreadProxy<T>>& proxy) {
    return proxy;
}
