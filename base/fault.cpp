#include "base/fault.hpp"

namespace morvane {

const char* fault_text(const std::exception_ptr& payload) noexcept {
    if (!payload) return kUnknownFaultText;
    try {
        std::rethrow_exception(payload);
    } catch (const std::exception& e) {
        return e.what();
    } catch (const std::string& text) {
        return text.c_str();
    } catch (const char* text) {
        return text != nullptr ? text : kUnknownFaultText;
    } catch (...) {
    }
    return kUnknownFaultText;
}

}  // namespace morvane
