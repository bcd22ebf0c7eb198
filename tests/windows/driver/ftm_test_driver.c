/*
 * Test kernel driver for running Tarnexio.exe under Wine.
 *
 * It creates the two devices the bridge may open, \Device\ZELDROVE (type 1) and
 * \Device\btftmdriver (type 2), and a control device \Device\TarnexioFtmControl. A relay
 * opens the control device and attaches to one of the two names; while it stays attached that
 * device has its \DosDevices link and so can be opened; without a relay it cannot (the open
 * fails with "file not found"). Opening it connects to the named pipe
 * \\.\pipe\tarnexio-ftm-NAME, served by the relay, which carries the bytes to a device server
 * over the device channel's TCP form: every message is preceded by its length as a 32-bit
 * little-endian number. So one open handle is one device-channel connection.
 *
 * Every device I/O control request becomes an IOCTL message; the dispatch routine waits for
 * the first reply (COMPLETE: the request finishes at once with that status and output;
 * PENDING: the request is marked pending and a reader thread completes it with the later
 * COMPLETE). The driver host dispatches one request at a time, so the replies are read by a
 * system thread of each connection, not by another request.
 *
 * A cancelled request completes at once with STATUS_CANCELLED and the server is sent CANCEL
 * for it; the cleanup of a handle completes its pending requests the same way and closes the
 * pipe. When the pipe breaks (the server went away) every pending request and every later
 * one fails with ERROR_DEVICE_NOT_CONNECTED.
 *
 * A connection lives as long as the longest of its file object, its reader thread and its
 * unfinished requests: each holds a reference. The close of a handle can come while requests
 * are still pending (Wine sends it on the last handle's close, with no cleanup before it), and
 * their cancel routine then runs after the close; if the server goes at the same moment the
 * reader ends, and the cancel routine still uses the connection (its lock and the CANCEL it
 * sends), so the request's own reference keeps it.
 *
 * Error numbers from the server travel as NTSTATUS values of the Win32 facility
 * (0xC0070000 | error), which the system turns back into the same error number.
 */
#include <ntifs.h> /* from mingw-w64's ddk folder */

#define TAG 0x6d467454u /* 'TtFm' */
#define MSG_IOCTL 1u
#define MSG_CANCEL 2u
#define MSG_COMPLETE 0x81u
#define MSG_PENDING 0x82u
#define MAX_MESSAGE 65536u
#define FIRST_REPLY_TIMEOUT_MS 20000
#define ERR_OPERATION_ABORTED 995u
#define ERR_DEVICE_NOT_CONNECTED 1167u

typedef enum { WAIT_FIRST, DONE_FIRST, PENDING_ANNOUNCED, COMPLETED_EARLY, ARMED } ENTRY_STATE;

typedef struct _ENTRY {
  LIST_ENTRY link;
  struct _CONN* conn;
  PIRP irp;
  ULONG id;
  ULONG outSize;
  ENTRY_STATE state;
  NTSTATUS status;   /* result, once known */
  ULONG_PTR bytes;   /* output bytes copied into the system buffer */
  KEVENT firstReply; /* set when the first reply (or a failure) is in */
} ENTRY;

typedef struct _CONN {
  LONG refs;         /* the file object's, the reader thread's, one per unfinished request */
  KSPIN_LOCK lock;   /* guards entries, nextId, dead, ended */
  LIST_ENTRY entries;
  ULONG nextId;
  BOOLEAN dead;
  BOOLEAN ended;     /* EndConn has run: the handle is gone */
  HANDLE pipe;       /* guarded by writeLock once open: the reader closes it when told to stop */
  HANDLE readEvent, writeEvent, stopEvent;
  FAST_MUTEX writeLock;
} CONN;

typedef struct _DEV_EXT {
  BOOLEAN control;
  LONG attached;       /* relays attached to this name */
  WCHAR linkName[64];
  WCHAR devName[64];
  WCHAR pipePath[64];
} DEV_EXT;

#define IOCTL_RELAY_ATTACH CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA01, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define ATTACH_NAME_LIMIT 32

static PDEVICE_OBJECT g_devices[2]; /* ZELDROVE, btftmdriver */

static NTSTATUS StatusFromError(ULONG error) {
  if (error == 0) return STATUS_SUCCESS;
  if (error == ERR_OPERATION_ABORTED) return STATUS_CANCELLED;
  return (NTSTATUS)(0xC0070000u | (error & 0xFFFFu));
}

static void PutU32(UCHAR* p, ULONG v) {
  p[0] = (UCHAR)v; p[1] = (UCHAR)(v >> 8); p[2] = (UCHAR)(v >> 16); p[3] = (UCHAR)(v >> 24);
}

static ULONG GetU32(const UCHAR* p) {
  return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

static void ConnRelease(CONN* c) {
  if (InterlockedDecrement(&c->refs) != 0) return;
  if (c->pipe) ZwClose(c->pipe);
  if (c->readEvent) ZwClose(c->readEvent);
  if (c->writeEvent) ZwClose(c->writeEvent);
  if (c->stopEvent) ZwClose(c->stopEvent);
  ExFreePool(c);
}

/* Frees a finished request and gives back its reference on the connection. */
static void EntryFree(ENTRY* e) {
  CONN* c = e->conn;
  ExFreePool(e);
  ConnRelease(c);
}

/* Writes one message (length prefix added here); FALSE when the pipe is gone. */
static BOOLEAN SendMessage(CONN* c, const UCHAR* body, ULONG length) {
  UCHAR* buf = ExAllocatePoolWithTag(NonPagedPool, length + 4, TAG);
  IO_STATUS_BLOCK iosb;
  NTSTATUS st;
  if (!buf) return FALSE;
  PutU32(buf, length);
  RtlCopyMemory(buf + 4, body, length);
  ExAcquireFastMutex(&c->writeLock);
  iosb.Information = 0;
  st = c->pipe ? ZwWriteFile(c->pipe, c->writeEvent, NULL, NULL, &iosb, buf, length + 4, NULL, NULL)
               : STATUS_PIPE_BROKEN;
  if (st == STATUS_PENDING) {
    ZwWaitForSingleObject(c->writeEvent, FALSE, NULL);
    st = iosb.Status;
  }
  ExReleaseFastMutex(&c->writeLock);
  ExFreePool(buf);
  return NT_SUCCESS(st) && iosb.Information == length + 4;
}

static void SendCancel(CONN* c, ULONG id) {
  UCHAR msg[8];
  PutU32(msg, MSG_CANCEL);
  PutU32(msg + 4, id);
  SendMessage(c, msg, sizeof msg);
}

static void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR bytes) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_ERROR(status) ? 0 : bytes;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* Called with the lock held: the request is finished; for an armed entry the caller
 * completes the IRP after dropping the lock when this returns TRUE. */
static BOOLEAN FinishLocked(ENTRY* e, NTSTATUS status) {
  switch (e->state) {
    case WAIT_FIRST:
      e->status = status;
      e->state = DONE_FIRST;
      KeSetEvent(&e->firstReply, IO_NO_INCREMENT, FALSE);
      return FALSE;
    case PENDING_ANNOUNCED:
      e->status = status;
      e->state = COMPLETED_EARLY;
      return FALSE;
    case ARMED:
      if (IoSetCancelRoutine(e->irp, NULL) == NULL) return FALSE; /* the cancel routine has it */
      e->status = status;
      RemoveEntryList(&e->link);
      return TRUE;
    default:
      return FALSE;
  }
}

static ENTRY* FindLocked(CONN* c, ULONG id) {
  LIST_ENTRY* p;
  for (p = c->entries.Flink; p != &c->entries; p = p->Flink) {
    ENTRY* e = CONTAINING_RECORD(p, ENTRY, link);
    if (e->id == id && e->state != DONE_FIRST && e->state != COMPLETED_EARLY) return e;
  }
  return NULL;
}

/* Ends every unfinished request of the connection with status. */
static void FailAll(CONN* c, NTSTATUS status) {
  for (;;) {
    KIRQL irql;
    LIST_ENTRY* p;
    ENTRY* done = NULL;
    KeAcquireSpinLock(&c->lock, &irql);
    c->dead = TRUE;
    for (p = c->entries.Flink; p != &c->entries; p = p->Flink) {
      ENTRY* e = CONTAINING_RECORD(p, ENTRY, link);
      if (e->state == DONE_FIRST || e->state == COMPLETED_EARLY) continue;
      if (e->state == ARMED && IoSetCancelRoutine(e->irp, NULL) == NULL) continue;
      if (e->state == ARMED) {
        RemoveEntryList(&e->link);
        e->status = status;
        done = e;
        break;
      }
      FinishLocked(e, status);
    }
    KeReleaseSpinLock(&c->lock, irql);
    if (!done) return;
    CompleteIrp(done->irp, done->status, 0);
    EntryFree(done);
  }
}

static void HandleReply(CONN* c, const UCHAR* m, ULONG length) {
  ULONG kind, id;
  KIRQL irql;
  ENTRY* e;
  ENTRY* done = NULL;
  if (length < 8) return;
  kind = GetU32(m);
  id = GetU32(m + 4);
  KeAcquireSpinLock(&c->lock, &irql);
  e = FindLocked(c, id);
  if (e && kind == MSG_PENDING && e->state == WAIT_FIRST) {
    e->state = PENDING_ANNOUNCED;
    KeSetEvent(&e->firstReply, IO_NO_INCREMENT, FALSE);
  } else if (e && kind == MSG_COMPLETE && length >= 16) {
    ULONG n = length - 16;
    ULONG error = GetU32(m + 8);
    if (n > e->outSize) n = e->outSize;
    if (n > 0 && e->irp->AssociatedIrp.SystemBuffer) RtlCopyMemory(e->irp->AssociatedIrp.SystemBuffer, m + 16, n);
    e->bytes = n;
    if (FinishLocked(e, StatusFromError(error))) done = e;
  }
  KeReleaseSpinLock(&c->lock, irql);
  if (done) {
    CompleteIrp(done->irp, done->status, done->bytes);
    EntryFree(done);
  }
}

/* Reads exactly n bytes; FALSE on a broken pipe or when told to stop. */
static BOOLEAN ReadExactly(CONN* c, UCHAR* buf, ULONG n) {
  ULONG got = 0;
  while (got < n) {
    IO_STATUS_BLOCK iosb;
    NTSTATUS st = ZwReadFile(c->pipe, c->readEvent, NULL, NULL, &iosb, buf + got, n - got, NULL, NULL);
    if (st == STATUS_PENDING) {
      HANDLE both[2] = {c->readEvent, c->stopEvent};
      st = ZwWaitForMultipleObjects(2, both, WaitAny, FALSE, NULL);
      if (st != STATUS_WAIT_0) {
        /* Stopping: the read stays queued on the pipe until the handle goes; wait for it
         * so that iosb and buf are not reused while it can still complete. */
        LARGE_INTEGER t;
        ExAcquireFastMutex(&c->writeLock);
        ZwClose(c->pipe);
        c->pipe = NULL;
        ExReleaseFastMutex(&c->writeLock);
        t.QuadPart = -10000000LL;
        ZwWaitForSingleObject(c->readEvent, FALSE, &t);
        return FALSE;
      }
      st = iosb.Status;
    }
    if (!NT_SUCCESS(st) || iosb.Information == 0) return FALSE;
    got += (ULONG)iosb.Information;
  }
  return TRUE;
}

static VOID NTAPI ReaderThread(PVOID context) {
  CONN* c = context;
  UCHAR* buf = ExAllocatePoolWithTag(NonPagedPool, MAX_MESSAGE, TAG);
  UCHAR head[4];
  while (buf && ReadExactly(c, head, 4)) {
    ULONG length = GetU32(head);
    if (length > MAX_MESSAGE || !ReadExactly(c, buf, length)) break;
    HandleReply(c, buf, length);
  }
  if (buf) ExFreePool(buf);
  FailAll(c, StatusFromError(ERR_DEVICE_NOT_CONNECTED));
  ConnRelease(c);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

static VOID NTAPI CancelRoutine(PDEVICE_OBJECT dev, PIRP irp) {
  ENTRY* e = irp->Tail.Overlay.DriverContext[0];
  CONN* c = e->conn;
  KIRQL irql;
  ULONG id = e->id;
  (void)dev;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  /* The request's reference keeps c: the reader may have ended meanwhile, leaving this entry
   * to this routine, and the file object may be closed already. */
  KeAcquireSpinLock(&c->lock, &irql);
  RemoveEntryList(&e->link);
  KeReleaseSpinLock(&c->lock, irql);
  ExFreePool(e);
  CompleteIrp(irp, STATUS_CANCELLED, 0);
  SendCancel(c, id);
  ConnRelease(c);
}

/* Attaches the relay of this control handle to the device named by its input (UTF-16). */
static NTSTATUS ControlIoctl(PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  ULONG inSize = s->Parameters.DeviceIoControl.InputBufferLength;
  const WCHAR* name = irp->AssociatedIrp.SystemBuffer;
  NTSTATUS st = STATUS_OBJECT_NAME_NOT_FOUND;
  int i;
  if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_RELAY_ATTACH || !name || inSize == 0 ||
      inSize % sizeof(WCHAR) != 0 || inSize > ATTACH_NAME_LIMIT * sizeof(WCHAR) || s->FileObject->FsContext2) {
    st = STATUS_INVALID_PARAMETER;
  } else {
    for (i = 0; i < 2; ++i) {
      DEV_EXT* ext = g_devices[i]->DeviceExtension;
      const WCHAR* want = ext->devName + 8; /* after \Device\ */
      ULONG n = inSize / sizeof(WCHAR), k = 0;
      while (k < n && want[k] && want[k] == name[k]) ++k;
      if (k != n || want[k] != 0) continue;
      st = STATUS_SUCCESS;
      if (InterlockedIncrement(&ext->attached) == 1) {
        UNICODE_STRING devU, linkU;
        RtlInitUnicodeString(&devU, ext->devName);
        RtlInitUnicodeString(&linkU, ext->linkName);
        st = IoCreateSymbolicLink(&linkU, &devU);
      }
      if (NT_SUCCESS(st)) s->FileObject->FsContext2 = g_devices[i];
      else InterlockedDecrement(&ext->attached);
      break;
    }
  }
  CompleteIrp(irp, st, 0);
  return st;
}

static void Detach(PFILE_OBJECT file) {
  PDEVICE_OBJECT dev = file->FsContext2;
  DEV_EXT* ext;
  if (!dev) return;
  file->FsContext2 = NULL;
  ext = dev->DeviceExtension;
  if (InterlockedDecrement(&ext->attached) == 0) {
    UNICODE_STRING linkU;
    RtlInitUnicodeString(&linkU, ext->linkName);
    IoDeleteSymbolicLink(&linkU);
  }
}

static NTSTATUS DispatchIoctl(PDEVICE_OBJECT dev, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  CONN* c = s->FileObject ? s->FileObject->FsContext : NULL;
  ULONG inSize = s->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outSize = s->Parameters.DeviceIoControl.OutputBufferLength;
  ENTRY* e;
  UCHAR* msg;
  KIRQL irql;
  LARGE_INTEGER timeout;
  NTSTATUS st;
  BOOLEAN sent;
  if (((DEV_EXT*)dev->DeviceExtension)->control) return ControlIoctl(irp);
  if (!c) { /* opened in the moment its relay went */
    st = StatusFromError(ERR_DEVICE_NOT_CONNECTED);
    CompleteIrp(irp, st, 0);
    return st;
  }
  if (inSize > MAX_MESSAGE - 16) {
    CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    return STATUS_INVALID_PARAMETER;
  }
  e = ExAllocatePoolWithTag(NonPagedPool, sizeof *e, TAG);
  msg = ExAllocatePoolWithTag(NonPagedPool, 16 + inSize, TAG);
  if (!e || !msg) {
    if (e) ExFreePool(e);
    if (msg) ExFreePool(msg);
    CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(e, sizeof *e);
  e->conn = c;
  e->irp = irp;
  e->outSize = outSize;
  e->state = WAIT_FIRST;
  KeInitializeEvent(&e->firstReply, NotificationEvent, FALSE);
  irp->Tail.Overlay.DriverContext[0] = e;

  KeAcquireSpinLock(&c->lock, &irql);
  if (c->dead) {
    KeReleaseSpinLock(&c->lock, irql);
    ExFreePool(e);
    ExFreePool(msg);
    st = StatusFromError(ERR_DEVICE_NOT_CONNECTED);
    CompleteIrp(irp, st, 0);
    return st;
  }
  if (++c->nextId == 0) ++c->nextId;
  e->id = c->nextId;
  InsertTailList(&c->entries, &e->link);
  InterlockedIncrement(&c->refs); /* the request's, given back by EntryFree or the cancel routine */
  KeReleaseSpinLock(&c->lock, irql);

  PutU32(msg, MSG_IOCTL);
  PutU32(msg + 4, e->id);
  PutU32(msg + 8, s->Parameters.DeviceIoControl.IoControlCode);
  PutU32(msg + 12, outSize);
  if (inSize > 0 && irp->AssociatedIrp.SystemBuffer) RtlCopyMemory(msg + 16, irp->AssociatedIrp.SystemBuffer, inSize);
  sent = SendMessage(c, msg, 16 + inSize);
  ExFreePool(msg);

  timeout.QuadPart = -10000LL * FIRST_REPLY_TIMEOUT_MS;
  if (!sent || KeWaitForSingleObject(&e->firstReply, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) {
    FailAll(c, StatusFromError(ERR_DEVICE_NOT_CONNECTED));
  }

  KeAcquireSpinLock(&c->lock, &irql);
  if (e->state == DONE_FIRST) {
    RemoveEntryList(&e->link);
    KeReleaseSpinLock(&c->lock, irql);
    st = e->status;
    CompleteIrp(irp, st, e->bytes);
    EntryFree(e);
    return st;
  }
  IoMarkIrpPending(irp);
  if (e->state == COMPLETED_EARLY) {
    RemoveEntryList(&e->link);
    KeReleaseSpinLock(&c->lock, irql);
    CompleteIrp(irp, e->status, e->bytes);
    EntryFree(e);
    return STATUS_PENDING;
  }
  e->state = ARMED;
  IoSetCancelRoutine(irp, CancelRoutine);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    /* Cancelled before the routine was set: finish it here. */
    ULONG id = e->id;
    RemoveEntryList(&e->link);
    KeReleaseSpinLock(&c->lock, irql);
    ExFreePool(e);
    CompleteIrp(irp, STATUS_CANCELLED, 0);
    SendCancel(c, id);
    ConnRelease(c);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&c->lock, irql);
  return STATUS_PENDING;
}

static NTSTATUS DispatchCreate(PDEVICE_OBJECT dev, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  DEV_EXT* ext = dev->DeviceExtension;
  UNICODE_STRING path;
  OBJECT_ATTRIBUTES oa;
  IO_STATUS_BLOCK iosb;
  HANDLE thread;
  NTSTATUS st = STATUS_SUCCESS;
  int tries;
  CONN* c;
  if (ext->control) {
    CompleteIrp(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
  }
  c = ExAllocatePoolWithTag(NonPagedPool, sizeof *c, TAG);
  if (!c) {
    CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(c, sizeof *c);
  c->refs = 1;
  KeInitializeSpinLock(&c->lock);
  InitializeListHead(&c->entries);
  ExInitializeFastMutex(&c->writeLock);
  RtlInitUnicodeString(&path, ext->pipePath);
  InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  /* Every instance busy: the relay is about to offer the next one. */
  for (tries = 0; tries < 100; ++tries) {
    st = ZwCreateFile(&c->pipe, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &iosb, NULL, 0, 0, FILE_OPEN, 0, NULL, 0);
    if (st != STATUS_PIPE_BUSY && st != STATUS_PIPE_NOT_AVAILABLE) break;
    LARGE_INTEGER wait;
    wait.QuadPart = -200000LL; /* 20 ms */
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
  }
  if (NT_SUCCESS(st)) {
    InitializeObjectAttributes(&oa, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    st = ZwCreateEvent(&c->readEvent, EVENT_ALL_ACCESS, &oa, SynchronizationEvent, FALSE);
    if (NT_SUCCESS(st)) st = ZwCreateEvent(&c->writeEvent, EVENT_ALL_ACCESS, &oa, SynchronizationEvent, FALSE);
    if (NT_SUCCESS(st)) st = ZwCreateEvent(&c->stopEvent, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE);
  } else {
    c->pipe = NULL;
    st = STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (NT_SUCCESS(st)) {
    c->refs = 2;
    st = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &oa, NULL, NULL, ReaderThread, c);
    if (NT_SUCCESS(st)) ZwClose(thread);
    else c->refs = 1;
  }
  if (!NT_SUCCESS(st)) {
    ConnRelease(c);
    CompleteIrp(irp, st, 0);
    return st;
  }
  s->FileObject->FsContext = c;
  CompleteIrp(irp, STATUS_SUCCESS, 0);
  return STATUS_SUCCESS;
}

/* The handle is gone: what is still pending fails, the server is told, and the reader
 * thread stops, closing the pipe (the server then sees the device's connection end). Once,
 * whether from the cleanup request or, where none comes, from the close. */
static void EndConn(CONN* c) {
  KIRQL irql;
  BOOLEAN wasDead, wasEnded;
  KeAcquireSpinLock(&c->lock, &irql);
  wasDead = c->dead;
  wasEnded = c->ended;
  c->ended = TRUE;
  KeReleaseSpinLock(&c->lock, irql);
  if (wasEnded) return;
  FailAll(c, STATUS_CANCELLED);
  if (!wasDead) SendCancel(c, 0);
  ZwSetEvent(c->stopEvent, NULL);
}

static NTSTATUS DispatchCleanup(PDEVICE_OBJECT dev, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  CONN* c = s->FileObject ? s->FileObject->FsContext : NULL;
  if (((DEV_EXT*)dev->DeviceExtension)->control && s->FileObject) Detach(s->FileObject);
  if (c) EndConn(c);
  CompleteIrp(irp, STATUS_SUCCESS, 0);
  return STATUS_SUCCESS;
}

static NTSTATUS DispatchClose(PDEVICE_OBJECT dev, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  CONN* c = s->FileObject ? s->FileObject->FsContext : NULL;
  /* Wine sends no cleanup request when a handle closes, only this close once the file
   * object goes: a relay's attachment, and the device's connection, end here at the latest
   * (else the server would go on taking the device as open, its controller held). */
  if (((DEV_EXT*)dev->DeviceExtension)->control && s->FileObject) Detach(s->FileObject);
  if (c) {
    EndConn(c);
    s->FileObject->FsContext = NULL;
    ConnRelease(c);
  }
  CompleteIrp(irp, STATUS_SUCCESS, 0);
  return STATUS_SUCCESS;
}

/* dst = a followed by b, cut to fit count characters with the terminating zero. */
static void JoinW(WCHAR* dst, size_t count, const WCHAR* a, const WCHAR* b) {
  size_t n = 0;
  while (*a && n + 1 < count) dst[n++] = *a++;
  while (*b && n + 1 < count) dst[n++] = *b++;
  dst[n] = 0;
}

static NTSTATUS AddDevice(PDRIVER_OBJECT drv, const WCHAR* name, PDEVICE_OBJECT* out) {
  UNICODE_STRING devU;
  PDEVICE_OBJECT dev;
  DEV_EXT* ext;
  WCHAR devName[64];
  NTSTATUS st;
  JoinW(devName, 64, L"\\Device\\", name);
  RtlInitUnicodeString(&devU, devName);
  st = IoCreateDevice(drv, sizeof(DEV_EXT), &devU, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
  if (!NT_SUCCESS(st)) return st;
  ext = dev->DeviceExtension;
  RtlZeroMemory(ext, sizeof *ext);
  JoinW(ext->devName, 64, L"\\Device\\", name);
  JoinW(ext->linkName, 64, L"\\DosDevices\\", name);
  JoinW(ext->pipePath, 64, L"\\??\\pipe\\tarnexio-ftm-", name);
  dev->Flags |= DO_BUFFERED_IO;
  dev->Flags &= ~DO_DEVICE_INITIALIZING;
  *out = dev;
  return STATUS_SUCCESS;
}

static VOID NTAPI Unload(PDRIVER_OBJECT drv) {
  while (drv->DeviceObject) {
    DEV_EXT* ext = drv->DeviceObject->DeviceExtension;
    if (ext->control || ext->attached > 0) {
      UNICODE_STRING linkU;
      RtlInitUnicodeString(&linkU, ext->linkName);
      IoDeleteSymbolicLink(&linkU);
    }
    IoDeleteDevice(drv->DeviceObject);
  }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT drv, PUNICODE_STRING registryPath) {
  PDEVICE_OBJECT control = NULL;
  NTSTATUS st;
  (void)registryPath;
  drv->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  drv->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  drv->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  drv->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIoctl;
  drv->DriverUnload = Unload;
  st = AddDevice(drv, L"ZELDROVE", &g_devices[0]);
  if (NT_SUCCESS(st)) st = AddDevice(drv, L"btftmdriver", &g_devices[1]);
  if (NT_SUCCESS(st)) st = AddDevice(drv, L"TarnexioFtmControl", &control);
  if (NT_SUCCESS(st)) {
    DEV_EXT* ext = control->DeviceExtension;
    UNICODE_STRING devU, linkU;
    ext->control = TRUE;
    RtlInitUnicodeString(&devU, ext->devName);
    RtlInitUnicodeString(&linkU, ext->linkName);
    st = IoCreateSymbolicLink(&linkU, &devU);
  }
  if (!NT_SUCCESS(st)) Unload(drv);
  DbgPrint("tarnexio test driver: %s (0x%lx)\n", NT_SUCCESS(st) ? "devices ready" : "failed", (unsigned long)st);
  return st;
}
