; Setup program of OrvoComm.dll: installs the 32-bit DLL (and, on 64-bit
; Windows, the 64-bit one), registers each with the system's regsvr32 of its
; own bitness, and writes an uninstaller that unregisters and removes them.
;
; scripts/package.sh builds it:
;   makensis -DVERSION=1.2.3.4 -DDLL32=path -DDLL64=path -DTLB32=path -DTLB64=path
;            -DOUTFILE=path OrvoComm.nsi
;
; Silent use: "OrvoComm-<version>-setup.exe /S" installs, "uninstall.exe /S"
; (in the 32-bit folder) removes. Exit code 0 on success, 2 when a step failed
; (the message is in the log, and a DLL that did not register is removed again).
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh
!include x64.nsh

!ifndef VERSION | DLL32 | DLL64 | TLB32 | TLB64 | OUTFILE
  !error "define VERSION, DLL32, DLL64, TLB32, TLB64 and OUTFILE (see the head of this file)"
!endif

!define PRODUCT "OrvoComm"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\OrvoComm"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES32\Tamsiver\OrvoComm"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "Setup of the OrvoComm automation server"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" ""

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Runs regsvr32 of the 64-bit system on a DLL. $R0: "" to register, "/u" to
; unregister; $R1: the DLL's path. Leaves regsvr32's exit code in $R2.
!macro Regsvr64 un
Function ${un}Regsvr64
  ${DisableX64FSRedirection}
  ExecWait '"$WINDIR\System32\regsvr32.exe" /s $R0 "$R1"' $R2
  ${EnableX64FSRedirection}
  ${If} ${Errors}
    StrCpy $R2 "not started"
  ${EndIf}
FunctionEnd
!macroend
!insertmacro Regsvr64 ""
!insertmacro Regsvr64 "un."

Section "OrvoComm"
  SetOutPath "$INSTDIR"
  File "/oname=OrvoComm.dll" "${DLL32}"
  File "/oname=OrvoComm.tlb" "${TLB32}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The 32-bit DLL registers in this (32-bit) process: its entries land in
  ; the 32-bit view of the registry.
  ClearErrors
  RegDLL "$INSTDIR\OrvoComm.dll"
  ${If} ${Errors}
    DetailPrint "OrvoComm: the 32-bit OrvoComm.dll did not register"
    Delete "$INSTDIR\OrvoComm.dll"
    SetErrorLevel 2
    Abort "OrvoComm.dll (32-bit) could not be registered"
  ${EndIf}
  DetailPrint "OrvoComm: 32-bit OrvoComm.dll registered in $INSTDIR"

  ${If} ${RunningX64}
    ${DisableX64FSRedirection}
    SetOutPath "$PROGRAMFILES64\Tamsiver\OrvoComm"
    File "/oname=OrvoComm.dll" "${DLL64}"
    File "/oname=OrvoComm.tlb" "${TLB64}"
    ${EnableX64FSRedirection}
    StrCpy $R0 ""
    StrCpy $R1 "$PROGRAMFILES64\Tamsiver\OrvoComm\OrvoComm.dll"
    ClearErrors
    Call Regsvr64
    ${If} $R2 != 0
      DetailPrint "OrvoComm: the 64-bit OrvoComm.dll did not register (regsvr32: $R2)"
      SetErrorLevel 2
      Abort "OrvoComm.dll (64-bit) could not be registered"
    ${EndIf}
    DetailPrint "OrvoComm: 64-bit OrvoComm.dll registered in $PROGRAMFILES64\Tamsiver\OrvoComm"
  ${EndIf}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  ; Both DLLs are unregistered before they are removed; a failure is shown
  ; and the uninstaller goes on, so that nothing is left half-removed.
  ${If} ${RunningX64}
    StrCpy $R0 "/u"
    StrCpy $R1 "$PROGRAMFILES64\Tamsiver\OrvoComm\OrvoComm.dll"
    ${DisableX64FSRedirection}
    ${If} ${FileExists} "$R1"
      ${EnableX64FSRedirection}
      ClearErrors
      Call un.Regsvr64
      ${If} $R2 != 0
        DetailPrint "OrvoComm: the 64-bit OrvoComm.dll did not unregister (regsvr32: $R2)"
        SetErrorLevel 2
      ${EndIf}
      ${DisableX64FSRedirection}
    ${EndIf}
    Delete "$PROGRAMFILES64\Tamsiver\OrvoComm\OrvoComm.dll"
    Delete "$PROGRAMFILES64\Tamsiver\OrvoComm\OrvoComm.tlb"
    RMDir "$PROGRAMFILES64\Tamsiver\OrvoComm"
    RMDir "$PROGRAMFILES64\Tamsiver"
    ${EnableX64FSRedirection}
  ${EndIf}

  ClearErrors
  UnRegDLL "$INSTDIR\OrvoComm.dll"
  ${If} ${Errors}
    DetailPrint "OrvoComm: the 32-bit OrvoComm.dll did not unregister"
    SetErrorLevel 2
  ${EndIf}
  Delete "$INSTDIR\OrvoComm.dll"
  Delete "$INSTDIR\OrvoComm.tlb"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
