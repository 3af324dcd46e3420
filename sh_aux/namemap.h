#pragma once

// The one name-keyed map of the project: iterates sorted by name (byte order),
// so stepping order, ties and written files are reproducible. Owning maps hold
// std::unique_ptr<T>; maps that only index hold T*.

#include <map>
#include <memory>
#include <string>

template <class T>
using CNameMap = std::map<std::string, T, std::less<>>;

template <class T>
using COwningNameMap = CNameMap<std::unique_ptr<T>>;

// The value under strKey, or nullptr. For owning and indexing maps alike.
template <class T>
T* FindIn(const CNameMap<std::unique_ptr<T>>& map, std::string_view strKey) {
    auto it = map.find(strKey);
    return it == map.end() ? nullptr : it->second.get();
}

template <class T>
T* FindIn(const CNameMap<T*>& map, std::string_view strKey) {
    auto it = map.find(strKey);
    return it == map.end() ? nullptr : it->second;
}

// Erases every entry whose value satisfies pred; for any map.
template <class Map, class Pred>
void EraseValuesIf(Map& map, Pred pred) {
    for (auto it = map.begin(); it != map.end();) {
        if (pred(it->second)) {
            it = map.erase(it);
        } else {
            ++it;
        }
    }
}
