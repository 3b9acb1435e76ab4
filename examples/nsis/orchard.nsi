; An application installer that tells the Tamsiver suite about what it
; installed: it copies a sample program, then creates OrvoComm's object by
; its class identifier and calls NotifyApplicationInstalled through the
; method table with the System plug-in, reading the result and npErrorCode.
;
;   makensis -DORCHARD_EXE=path/to/orchard.exe -DOUTFILE=orchard-setup.exe orchard.nsi
;
; OrvoComm.dll must be registered already (its own setup program or MSI).
; Exit code: 0 recorded (or recorded already), 3 the object could not be
; created, 4 the call failed; the details are in the installer's log.
Unicode true
RequestExecutionLevel admin
!include LogicLib.nsh

!ifndef ORCHARD_EXE | OUTFILE
  !error "define ORCHARD_EXE and OUTFILE"
!endif

Name "Orchard 2.4.1"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES32\Orchard"
ShowInstDetails show

; The identifiers of OrvoComm.dll (they never change).
!define CLSID_ICommonInterface "{54E03D1C-9E66-409E-B8FC-4AB47548E3B9}"
!define IID_IICommonInterface "{A911DD96-7FF5-49E7-ACBF-6FA606D63D77}"
!define CLSCTX_INPROC_SERVER 1

Page directory
Page instfiles

Section "Orchard"
  SetOutPath "$INSTDIR"
  File "/oname=orchard.exe" "${ORCHARD_EXE}"
  File "/oname=orchard.ico" "${NSISDIR}\Contrib\Graphics\Icons\llama-blue.ico"

  ; The installer's thread is a single-threaded apartment already; the
  ; object is apartment-threaded, so it is created on this thread.
  System::Call "ole32::CoInitialize(p 0) i .r9"
  System::Call "ole32::CoCreateInstance(g '${CLSID_ICommonInterface}', p 0, \
      i ${CLSCTX_INPROC_SERVER}, g '${IID_IICommonInterface}', *p .r0) i .r1"
  ${If} $1 != 0
    DetailPrint "OrvoComm: cannot create the object (CoCreateInstance: $1); is OrvoComm.dll registered?"
    SetErrorLevel 3
    Abort "OrvoComm.dll is not registered"
  ${EndIf}

  ; Slot 9: NotifyApplicationInstalled(nsCallName, nsName, nsVersion,
  ; nsInstallDir, nsMainProgramPath, nsParam, nsMainIconPath, nsDesc,
  ; [out] npErrorCode). "w" strings serve as the BSTR arguments: the module
  ; reads them up to their terminating zero. "p 0" would pass "not given".
  StrCpy $2 -1
  System::Call "$0->9(w 'orchard-setup.exe', w 'Orchard', w '2.4.1', w '$INSTDIR', \
      w '$INSTDIR\orchard.exe', w '', w '$INSTDIR\orchard.ico', w 'Fruit trees', *i .r2) i .r3"
  System::Call "$0->2()"
  ${If} $9 = 0
    System::Call "ole32::CoUninitialize()"
  ${EndIf}

  ; S_OK (code 0): recorded and broadcast. 2 (code 2): the suite knows this
  ; program already. E_INVALIDARG 0x80070057 (-2147024809): refused.
  DetailPrint "NotifyApplicationInstalled: result $3, npErrorCode $2"
  ${If} $3 = 0
  ${OrIf} $3 = 2
    DetailPrint "Orchard is registered with the Tamsiver suite"
  ${Else}
    SetErrorLevel 4
    Abort "NotifyApplicationInstalled failed: result $3, npErrorCode $2"
  ${EndIf}
SectionEnd
