// Resource numbers of OrvoComm.dll, shared by the resource script and the code.
#ifndef ORVO_RESOURCES_RESOURCE_H_
#define ORVO_RESOURCES_RESOURCE_H_

// The type library, resource type "TYPELIB".
#define IDR_TYPELIB 1

// Registry scripts, resource type "REGISTRY".
#define IDR_ORVOCOMM 101                 // the module
#define IDR_ICOMMONINTERFACE 106         // class ICommonInterface
#define IDR_TAMSIVERCOMMONINTERFACE 107  // class TamsiverCommonInterface

#endif  // ORVO_RESOURCES_RESOURCE_H_
