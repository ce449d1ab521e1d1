/* PortTalk.sys: our own kernel driver for the PortTalk device. Instead of real I/O ports it
   serves the simulated table, so the shipped DLL can be driven end to end under a Win32 kernel
   (Wine). Calls only ntoskrnl and the table bridge (table_bridge.h). */
#include <ntddk.h>

#include "porttalk_device.h"
#include "table_bridge.h"

/* Everything the driver holds lives in the device extension, allocated once by IoCreateDevice:
   this header, then the table's storage. */
typedef struct DeviceState {
  KMUTEX lock; /* one request at a time reaches the table (IRPs may arrive on several threads) */
  void* table;
  ULONG portWrites;
  ULONG portReads;
  ULONG rejectedRequests;
  ULONG accessTicks;
  LONGLONG storage[1]; /* table storage follows; LONGLONG keeps it 8-byte aligned */
} DeviceState;

/* Under Wine each DeviceIoControl costs 80-250 us, so a port access stands for a good stretch of
   table time: 400 ticks (335 us) keeps a 300-500 steps/s interval (2400-4000 counts) to 2-4
   counter polls of 3 accesses each. The service key's AccessTicks value overrides it. */
#define DEFAULT_ACCESS_TICKS 400u
/* A counter poll (3 accesses, twice the counts in mode 3) must stay inside one 65536-count wrap. */
#define MAX_ACCESS_TICKS 8000u

/* The five ports the library addresses: counter 0 and the timer command register, the parallel
   port's data, status and control registers. Anything else is refused. */
static BOOLEAN IsServedPort(USHORT port) {
  return port == STEPLINK_PORT_TIMER_COUNT || port == STEPLINK_PORT_TIMER_COMMAND ||
         port == STEPLINK_PORT_DATA || port == STEPLINK_PORT_STATUS ||
         port == STEPLINK_PORT_CONTROL;
}

static DeviceState* StateOf(PDEVICE_OBJECT device) {
  return (DeviceState*)device->DeviceExtension;
}

/* Reads an optional REG_DWORD from the service key; FALSE when absent or of another type. */
static BOOLEAN ReadDwordValue(HANDLE key, PCWSTR name, ULONG* value) {
  UNICODE_STRING valueName;
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  } answer;
  ULONG answerLength = 0;
  NTSTATUS status;

  RtlInitUnicodeString(&valueName, name);
  status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &answer, sizeof(answer),
                           &answerLength);
  if (!NT_SUCCESS(status) || answer.info.Type != REG_DWORD || answer.info.DataLength != 4) {
    return FALSE;
  }
  RtlCopyMemory(value, answer.info.Data, sizeof(ULONG));
  return TRUE;
}

/* Table settings: AccessTicks, CounterMode (2 or 3) and LimitX/LimitY/LimitZ (the DWORD image of
   a signed step count) from the service key when present and sane, defaults otherwise. */
static void LoadSettings(PUNICODE_STRING registryPath, TableBridgeSettings* settings) {
  static const PCWSTR limitNames[3] = {PORTTALK_VALUE_LIMIT_X, PORTTALK_VALUE_LIMIT_Y,
                                       PORTTALK_VALUE_LIMIT_Z};
  OBJECT_ATTRIBUTES attributes;
  HANDLE key = NULL;
  ULONG value = 0;
  int axis;

  TableDefaultSettings(settings);
  settings->accessTicks = DEFAULT_ACCESS_TICKS;
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return;

  if (ReadDwordValue(key, PORTTALK_VALUE_ACCESS_TICKS, &value) && value >= 1 &&
      value <= MAX_ACCESS_TICKS) {
    settings->accessTicks = value;
  }
  if (ReadDwordValue(key, PORTTALK_VALUE_COUNTER_MODE, &value) && (value == 2 || value == 3)) {
    settings->counterMode = (uint8_t)value;
  }
  for (axis = 0; axis < 3; ++axis) {
    if (ReadDwordValue(key, limitNames[axis], &value)) settings->limitSteps[axis] = (LONG)value;
  }
  ZwClose(key);
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

/* One port request with its lengths already checked; the port is checked here. */
static NTSTATUS ServePort(DeviceState* state, BOOLEAN isRead, UCHAR* buffer) {
  const USHORT port = (USHORT)(buffer[0] | (buffer[1] << 8));
  if (!IsServedPort(port)) return STATUS_ACCESS_DENIED;
  if (isRead) {
    buffer[0] = TableIn(state->table, port);
    ++state->portReads;
  } else {
    TableOut(state->table, port, buffer[2]);
    ++state->portWrites;
  }
  return STATUS_SUCCESS;
}

/* Buffered device control. Lengths are exact: write in 3 / out 0, read in 2 / out 1, state
   in 0 / out at least sizeof(PortTalkState). A refused request changes nothing on the table:
     unknown code                  STATUS_INVALID_DEVICE_REQUEST (Win32 error 1)
     wrong input or output length  STATUS_INVALID_PARAMETER      (Win32 error 87)
     port other than the five      STATUS_ACCESS_DENIED          (Win32 error 5) */
static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  DeviceState* state = StateOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;

  KeWaitForSingleObject(&state->lock, Executive, KernelMode, FALSE, NULL);
  switch (code) {
    case STEPLINK_IOCTL_WRITE:
      if (inLength != 3 || outLength != 0 || buffer == NULL) {
        status = STATUS_INVALID_PARAMETER;
      } else {
        status = ServePort(state, FALSE, buffer);
      }
      break;
    case STEPLINK_IOCTL_READ:
      if (inLength != 2 || outLength != 1 || buffer == NULL) {
        status = STATUS_INVALID_PARAMETER;
      } else {
        status = ServePort(state, TRUE, buffer);
        if (NT_SUCCESS(status)) information = 1;
      }
      break;
    case STEPLINK_IOCTL_STATE:
      if (inLength != 0 || outLength < sizeof(PortTalkState) || buffer == NULL) {
        status = STATUS_INVALID_PARAMETER;
      } else {
        PortTalkState answer;
        RtlZeroMemory(&answer, sizeof(answer));
        answer.magic = PORTTALK_STATE_MAGIC;
        answer.version = PORTTALK_STATE_VERSION;
        TableFillState(state->table, &answer);
        answer.portWrites = state->portWrites;
        answer.portReads = state->portReads;
        answer.rejectedRequests = state->rejectedRequests;
        answer.accessTicks = state->accessTicks;
        RtlCopyMemory(buffer, &answer, sizeof(answer));
        information = sizeof(answer);
      }
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  if (!NT_SUCCESS(status)) ++state->rejectedRequests;
  KeReleaseMutex(&state->lock, FALSE);
  return Complete(irp, status, information);
}

static UNICODE_STRING deviceName = RTL_CONSTANT_STRING(PORTTALK_NT_DEVICE_NAME);
static UNICODE_STRING dosDeviceName = RTL_CONSTANT_STRING(PORTTALK_DOS_DEVICE_NAME);

static void NTAPI Unload(PDRIVER_OBJECT driver) {
  IoDeleteSymbolicLink(&dosDeviceName);
  if (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  PDEVICE_OBJECT device = NULL;
  DeviceState* state;
  TableBridgeSettings settings;
  const ULONG extensionSize = (ULONG)(FIELD_OFFSET(DeviceState, storage) + TableStorageSize());
  NTSTATUS status =
      IoCreateDevice(driver, extensionSize, &deviceName, PORTTALK_DEVICE_TYPE, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;

  state = StateOf(device);
  RtlZeroMemory(state, extensionSize);
  KeInitializeMutex(&state->lock, 0);
  LoadSettings(registryPath, &settings);
  state->accessTicks = settings.accessTicks;
  state->table = TableCreate(state->storage, &settings);

  status = IoCreateSymbolicLink(&dosDeviceName, &deviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->DriverUnload = Unload;
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
