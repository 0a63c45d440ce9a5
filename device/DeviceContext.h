#pragma once

class ZelSerialComms;
class clsError;
class clsFPDetails;
class clsFPMisc;
class clsFilingFuncs;
class clsFPMemory;

// What the command groups share: the façade fills it as it creates its parts and hands the
// same object to every group, so all of them see one link, one error record and one
// connected flag. One context per façade, no process-wide state.
struct DeviceContext {
    ZelSerialComms* gobjSerial = nullptr;
    clsError* gobjError = nullptr;
    clsFPDetails* gobjDetails = nullptr;
    clsFPMisc* gobjMisc = nullptr;
    clsFilingFuncs* gobjFilingFuncs = nullptr;
    clsFPMemory* gobjMemory = nullptr;
    // True once the device has answered; written only by WaitForFieldProgrammer.
    bool gblnConnected = false;
};
