#include "python/convert.h"

#include <string>

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

const Vector3& three_values(const RequestVector& request, const char* method) {
    if (request.length < 3) {
        throw py::value_error(std::string(method) + "() needs three values in its request, got " +
                              std::to_string(request.length));
    }
    return request.values;
}

py::list to_list(const Vector3& values) {
    py::list out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), item);
    }
    return out;
}

py::list zero_list() { return to_list(Vector3{0.0f, 0.0f, 0.0f}); }

}  // namespace Zelkor::HardwareAPI::Python
