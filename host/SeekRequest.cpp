#include "host/SeekRequest.h"

#include "host/HostSettingReader.h"

SeekRequest SeekRequest::parse(const std::string& value) {
    SeekRequest request;
    if (value.empty()) return request;
    if (value == "Front") {
        request.kind = Kind::Front;
        return request;
    }
    if (value == "Quit") {
        request.kind = Kind::End;
        return request;
    }
    request.kind = (value[0] == '+' || value[0] == '-') ? Kind::Relative : Kind::Absolute;
    const std::int64_t n = HostSettingReader::toInt32(value);
    request.seek = n != 0;
    request.steps = request.seek ? n + 1 : 0;
    return request;
}
