#include "bridge/panic_message.hpp"

#include <string>

namespace morvane::bridge {

const char* get_panic_message(const std::exception_ptr& payload) noexcept {
    if (!payload) return "unknown error";
    // rethrow_exception hands back the object the payload owns (no copy), so the texts below
    // point into storage that lives as long as the payload.
    try {
        std::rethrow_exception(payload);
    } catch (const std::exception& e) {
        return e.what();
    } catch (const std::string& text) {
        return text.c_str();
    } catch (const char* text) {
        return text != nullptr ? text : "unknown error";
    } catch (...) {
    }
    return "unknown error";
}

}  // namespace morvane::bridge
