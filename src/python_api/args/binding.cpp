#include "python_api/args/binding.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace torvelin::py {

namespace {

constexpr std::size_t not_found = static_cast<std::size_t>(-1);

std::string full_name(const ParameterDescriptor& descriptor) {
    return std::string(descriptor.function_name) + "()";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string list_form(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) {
            if (names.size() > 2) text += ",";
            text += k + 1 == names.size() ? " and " : " ";
        }
        text += "'" + std::string(names[k]) + "'";
    }
    return text;
}

[[noreturn]] void raise_binding_error(const std::string& message) {
    raise(PyExc_TypeError, message.c_str());
}

[[noreturn]] void raise_too_many_positional(const ParameterDescriptor& descriptor,
                                            Py_ssize_t nargs) {
    const std::size_t count = descriptor.positional_count();
    const std::size_t required = descriptor.required_positional();
    const std::string given = std::to_string(nargs) + (nargs == 1 ? " was" : " were");
    if (required == count) {
        raise_binding_error(full_name(descriptor) + " takes " + std::to_string(count) +
                            " positional arguments but " + given + " given");
    }
    raise_binding_error(full_name(descriptor) + " takes from " + std::to_string(required) +
                        " to " + std::to_string(count) + " positional arguments but " + given +
                        " given");
}

[[noreturn]] void raise_missing(const ParameterDescriptor& descriptor, const char* kind,
                                const std::vector<const char*>& names) {
    raise_binding_error(full_name(descriptor) + " missing " + std::to_string(names.size()) +
                        " required " + kind + (names.size() == 1 ? " argument: " : " arguments: ") +
                        list_form(names));
}

[[noreturn]] void raise_multiple_values(const ParameterDescriptor& descriptor, const char* name) {
    raise_binding_error(full_name(descriptor) + " got multiple values for argument '" + name +
                        "'");
}

[[noreturn]] void raise_unexpected_keyword(const ParameterDescriptor& descriptor,
                                           PyObject* keyword) {
    const std::string name = full_name(descriptor);
    raise(PyExc_TypeError, check(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                      name.c_str(), keyword)));
}

// The slot of the parameter called `wanted` among those passed `passing`
// (by position covers positional-only ones), or not_found.
std::size_t find_parameter(const ParameterDescriptor& descriptor, bool keyword_only,
                           std::string_view wanted) {
    for (std::size_t slot = 0; slot < descriptor.parameters.size(); ++slot) {
        const Parameter& p = descriptor.parameters[slot];
        if ((p.passing == Passing::keyword_only) == keyword_only && wanted == p.name) return slot;
    }
    return not_found;
}

}  // namespace

void bind_arguments(const ParameterDescriptor& descriptor, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t positional_count = descriptor.positional_count();
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t k = 0; k < given && k < positional_count; ++k) slots[k] = args[k];
    if (given > positional_count) raise_too_many_positional(descriptor, nargs);

    std::vector<const char*> positional_only_by_keyword;
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &length)
                                                    : nullptr;
        if (utf8 == nullptr) {
            // Not readable as text: it can name no parameter.
            if (PyErr_Occurred() != nullptr) discard_pending_error();
            raise_unexpected_keyword(descriptor, keyword);
        }
        const std::string_view name(utf8, static_cast<std::size_t>(length));
        std::size_t slot = find_parameter(descriptor, true, name);
        if (slot == not_found) {
            slot = find_parameter(descriptor, false, name);
            if (slot == not_found) raise_unexpected_keyword(descriptor, keyword);
            if (descriptor.parameters[slot].passing == Passing::positional_only) {
                positional_only_by_keyword.push_back(descriptor.parameters[slot].name);
                continue;
            }
        }
        if (slots[slot] != nullptr) raise_multiple_values(descriptor, descriptor.parameters[slot].name);
        slots[slot] = value;
    }

    if (!positional_only_by_keyword.empty()) {
        raise_binding_error(full_name(descriptor) +
                            " got some positional-only arguments passed as keyword arguments: " +
                            list_form(positional_only_by_keyword));
    }
    const std::size_t required_positional = descriptor.required_positional();
    if (given < required_positional) {
        std::vector<const char*> missing;
        for (std::size_t k = given; k < required_positional; ++k) {
            if (slots[k] == nullptr) missing.push_back(descriptor.parameters[k].name);
        }
        if (!missing.empty()) raise_missing(descriptor, "positional", missing);
    }
    std::vector<const char*> missing_keywords;
    for (std::size_t k = positional_count; k < descriptor.parameters.size(); ++k) {
        if (descriptor.parameters[k].required && slots[k] == nullptr) {
            missing_keywords.push_back(descriptor.parameters[k].name);
        }
    }
    if (!missing_keywords.empty()) raise_missing(descriptor, "keyword", missing_keywords);
}

void add_argument_prefix(const char* parameter) {
    if (PyErr_Occurred() != PyExc_TypeError) return;
    const PyRef original = take_pending_exception();
    const PyRef message =
        check(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
    PyRef prefixed = check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    // Keeps the original's cause and, like `raise ... from`, hides the context.
    PyException_SetCause(prefixed.get(), PyException_GetCause(original.get()));
    restore_exception(std::move(prefixed));
}

}  // namespace torvelin::py
