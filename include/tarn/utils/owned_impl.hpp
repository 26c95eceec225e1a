// SPDX-License-Identifier: MIT
#pragma once

#include <memory>

namespace tarn::utils {
inline namespace v4 {

// The holder through which a public class keeps its private record.
//
// The deleter is a plain function pointer stored next to the record by the
// class's out-of-line constructor, so a public header can declare
// `OwnedImpl<FooData>` with `FooData` left incomplete: destroying the holder
// calls the stored function (when the record is present) and needs nothing
// from the record's definition. Copying is impossible, moving transfers both
// the record and its deleter.
template <typename T>
using OwnedImpl = std::unique_ptr<T, void (*)(T*) noexcept>;

// Creates a record and pairs it with a deleter for it. Call this only where
// `T` is complete, i.e. inside the library that defines the record. Throws
// what `new T(args...)` throws (std::bad_alloc or T's constructor's
// exception), and then nothing is left allocated.
template <typename T, typename... Args>
OwnedImpl<T> makeOwnedImpl(Args&&... args) {
    return OwnedImpl<T>(new T(std::forward<Args>(args)...),
                        [](T* record) noexcept { delete record; });
}

}  // namespace v4
}  // namespace tarn::utils
