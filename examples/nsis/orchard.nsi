; An application installer that tells the Tamsiver suite about what it
; installed: it copies a sample program, then creates OrvoComm's object by
; its class identifier and calls NotifyApplicationInstalled through the
; method table with the System plug-in, reading the result and npErrorCode.
; When the program is registered already (a new version over an old one),
; it brings the record up to date with NotifyApplicationUpdated, and its
; uninstaller removes the record with NotifyApplicationUninstalled; both are
; methods of IICommonInterface2, which an older OrvoComm.dll does not have
; (E_NOINTERFACE): the installer then keeps the record as it was.
;
;   makensis -DORCHARD_EXE=path/to/orchard.exe -DOUTFILE=orchard-setup.exe orchard.nsi
;
; OrvoComm.dll must be registered already (its own setup program or MSI).
; Exit code: 0 recorded (or recorded already, or removed), 3 the object
; could not be created, 4 the call failed; the details are in the log.
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
!define IID_IICommonInterface2 "{3C0F6E52-81D4-4B7A-9E15-6D2AC4870B93}"
!define CLSCTX_INPROC_SERVER 1
!define E_NOINTERFACE -2147467262 ; 0x80004002

Page directory
Page instfiles

Section "Orchard"
  SetOutPath "$INSTDIR"
  File "/oname=orchard.exe" "${ORCHARD_EXE}"
  File "/oname=orchard.ico" "${NSISDIR}\Contrib\Graphics\Icons\llama-blue.ico"
  WriteUninstaller "$INSTDIR\uninstall.exe"

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
  DetailPrint "NotifyApplicationInstalled: result $3, npErrorCode $2"
  ${If} $3 = 2
    ; Registered already, perhaps by an older version: IICommonInterface2
    ; (QueryInterface, slot 0) replaces the record with this version's.
    System::Call "$0->0(g '${IID_IICommonInterface2}', *p .r4) i .r5"
    ${If} $5 = 0
      ; Slot 11: NotifyApplicationUpdated, the arguments of slot 9.
      System::Call "$4->11(w 'orchard-setup.exe', w 'Orchard', w '2.4.1', w '$INSTDIR', \
          w '$INSTDIR\orchard.exe', w '', w '$INSTDIR\orchard.ico', w 'Fruit trees', \
          *i .r2) i .r3"
      System::Call "$4->2()"
      DetailPrint "NotifyApplicationUpdated: result $3, npErrorCode $2"
    ${ElseIf} $5 = ${E_NOINTERFACE}
      DetailPrint "OrvoComm.dll is older than IICommonInterface2: the record stays as it was"
    ${Else}
      StrCpy $3 $5
    ${EndIf}
  ${EndIf}
  System::Call "$0->2()"
  ${If} $9 = 0
    System::Call "ole32::CoUninitialize()"
  ${EndIf}

  ; S_OK (code 0): recorded and broadcast. 2 (code 2): the suite knows this
  ; program already. E_INVALIDARG 0x80070057 (-2147024809): refused.
  ${If} $3 = 0
  ${OrIf} $3 = 2
    DetailPrint "Orchard is registered with the Tamsiver suite"
  ${Else}
    SetErrorLevel 4
    Abort "NotifyApplicationInstalled failed: result $3, npErrorCode $2"
  ${EndIf}
SectionEnd

Section "Uninstall"
  ; The object asked for IICommonInterface2 straight away: an older
  ; OrvoComm.dll answers E_NOINTERFACE, and the record stays.
  System::Call "ole32::CoInitialize(p 0) i .r9"
  System::Call "ole32::CoCreateInstance(g '${CLSID_ICommonInterface}', p 0, \
      i ${CLSCTX_INPROC_SERVER}, g '${IID_IICommonInterface2}', *p .r0) i .r1"
  ${If} $1 = 0
    ; Slot 12: NotifyApplicationUninstalled(nsMainProgramPath, [out]
    ; npErrorCode). S_OK (code 0): removed and broadcast; 3 (code 3): the
    ; suite had no record of it.
    StrCpy $2 -1
    System::Call "$0->12(w '$INSTDIR\orchard.exe', *i .r2) i .r3"
    System::Call "$0->2()"
    DetailPrint "NotifyApplicationUninstalled: result $3, npErrorCode $2"
    ${If} $3 != 0
    ${AndIf} $3 != 3
      SetErrorLevel 4
    ${EndIf}
  ${ElseIf} $1 = ${E_NOINTERFACE}
    DetailPrint "OrvoComm.dll is older than IICommonInterface2: the record stays"
  ${Else}
    DetailPrint "OrvoComm: cannot create the object (CoCreateInstance: $1)"
    SetErrorLevel 3
  ${EndIf}
  ${If} $9 = 0
    System::Call "ole32::CoUninitialize()"
  ${EndIf}

  ; The files go whatever the suite answered.
  Delete "$INSTDIR\orchard.exe"
  Delete "$INSTDIR\orchard.ico"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
