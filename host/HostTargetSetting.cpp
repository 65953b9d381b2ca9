#include "host/HostTargetSetting.h"

ZARNITH::TargetSetting HostTargetSetting::make(const std::string& hostName, std::uint16_t controllerPort) {
    ZARNITH::TargetSetting setting;
    setting.productId = 0;
    setting.typeMask = TypeMask;
    setting.name = hostName.empty() ? std::string(DefaultName) : hostName;
    setting.loopbackAllowed = 1;
    ZARNITH::TargetSetting::RegistSt controller;
    controller.port = controllerPort;
    controller.id = ControllerPortId;
    controller.name = ControllerPortName;
    controller.sel = 1;
    controller.type = ControllerPortType;
    setting.ports.push_back(controller);
    return setting;
}
