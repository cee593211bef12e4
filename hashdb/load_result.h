// What loading a stored file came to: loaded; not there at all (the normal first start, which
// needs no explanation); or there but unusable, with the reason in words a user can act on.
#pragma once

#include <string>
#include <utility>

enum class LoadStatus { kLoaded, kNotFound, kFailed };

struct LoadResult {
    LoadStatus status = LoadStatus::kFailed;
    std::string error;  // why the load failed; empty otherwise

    static LoadResult loaded() { return {LoadStatus::kLoaded, {}}; }
    static LoadResult not_found() { return {LoadStatus::kNotFound, {}}; }
    static LoadResult failed(std::string why) { return {LoadStatus::kFailed, std::move(why)}; }

    explicit operator bool() const { return status == LoadStatus::kLoaded; }
};
