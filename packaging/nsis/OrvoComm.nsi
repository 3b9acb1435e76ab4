; Setup program of OrvoComm.dll: installs the 32-bit DLL (and, on 64-bit
; Windows, the 64-bit one) with its type library and settool.exe, registers
; each DLL with the system's regsvr32 of its own bitness, and writes an
; uninstaller that unregisters and removes them.
;
; The files are shared with the MSI (and any other installer of them): the
; place is fixed, and each file's users are counted in the SharedDLLs key,
; as Windows Installer counts them. The uninstaller takes its count back and
; leaves the files and their registration in place while another user is
; counted.
;
; scripts/package.sh builds it:
;   makensis -DVERSION=1.2.3.4 -DDLL32=path -DDLL64=path -DTLB32=path -DTLB64=path
;            -DSETTOOL32=path -DSETTOOL64=path -DOUTFILE=path [-DSIGN=command] OrvoComm.nsi
; SIGN, when given, signs the uninstaller before it is packed ("command FILE").
;
; Silent use: "OrvoComm-<version>-setup.exe /S" installs, "uninstall.exe /S"
; (in the 32-bit folder) removes. Exit code 0 on success, 2 when a step failed
; (the message is in the log, and a DLL that did not register is removed again).
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh
!include x64.nsh

!ifndef VERSION | DLL32 | DLL64 | TLB32 | TLB64 | SETTOOL32 | SETTOOL64 | OUTFILE
  !error "define VERSION, DLL32, DLL64, TLB32, TLB64, SETTOOL32, SETTOOL64 and OUTFILE (see the head of this file)"
!endif
!ifdef SIGN
  !uninstfinalize '${SIGN} "%1"'
!endif

!define PRODUCT "OrvoComm"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\OrvoComm"
!define SHARED_DLLS "Software\Microsoft\Windows\CurrentVersion\SharedDLLs"
!define DIR32 "$PROGRAMFILES32\Tamsiver\OrvoComm"
!define DIR64 "$PROGRAMFILES64\Tamsiver\OrvoComm"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "${DIR32}"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "Setup of the OrvoComm automation server"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" ""

; The folder is fixed (no directory page; /D is ignored): the files are
; counted by their full path, which every installer of them must share.
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

; SharedUse PATH: one user more of the shared file PATH, in the current
; registry view (32-bit files in the 32-bit view, 64-bit files in the 64-bit
; one, where Windows Installer counts them too).
!macro SharedUse path
  ReadRegDWORD $R9 HKLM "${SHARED_DLLS}" "${path}"
  IntOp $R9 $R9 + 1
  WriteRegDWORD HKLM "${SHARED_DLLS}" "${path}" $R9
!macroend
; SharedRelease PATH: one user less; leaves in $R9 the users still counted
; (the value goes when none is left).
!macro SharedRelease path
  ReadRegDWORD $R9 HKLM "${SHARED_DLLS}" "${path}"
  ${If} $R9 > 1
    IntOp $R9 $R9 - 1
    WriteRegDWORD HKLM "${SHARED_DLLS}" "${path}" $R9
  ${Else}
    StrCpy $R9 0
    DeleteRegValue HKLM "${SHARED_DLLS}" "${path}"
  ${EndIf}
!macroend

Var Reinstall  ; "1" when this setup's product is installed already (counted once)

Function .onInit
  StrCpy $INSTDIR "${DIR32}"
  ReadRegStr $Reinstall HKLM "${UNINSTALL_KEY}" "UninstallString"
  ${If} $Reinstall != ""
    StrCpy $Reinstall 1
  ${EndIf}
FunctionEnd

Function un.onInit
  StrCpy $INSTDIR "${DIR32}"
FunctionEnd

Section "OrvoComm"
  SetOutPath "$INSTDIR"
  File "/oname=OrvoComm.dll" "${DLL32}"
  File "/oname=OrvoComm.tlb" "${TLB32}"
  File "/oname=settool.exe" "${SETTOOL32}"
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
  ; Counted once registered (a reinstall is counted already).
  ${If} $Reinstall != 1
    !insertmacro SharedUse "$INSTDIR\OrvoComm.dll"
    !insertmacro SharedUse "$INSTDIR\OrvoComm.tlb"
    !insertmacro SharedUse "$INSTDIR\settool.exe"
  ${EndIf}

  ${If} ${RunningX64}
    ${DisableX64FSRedirection}
    SetOutPath "${DIR64}"
    File "/oname=OrvoComm.dll" "${DLL64}"
    File "/oname=OrvoComm.tlb" "${TLB64}"
    File "/oname=settool.exe" "${SETTOOL64}"
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
    ${If} $Reinstall != 1
      SetRegView 64
      !insertmacro SharedUse "${DIR64}\OrvoComm.dll"
      !insertmacro SharedUse "${DIR64}\OrvoComm.tlb"
      !insertmacro SharedUse "${DIR64}\settool.exe"
      SetRegView 32
    ${EndIf}
  ${EndIf}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  ; Each DLL is unregistered before it is removed, unless another installer
  ; still counts it; a failure is shown and the uninstaller goes on, so that
  ; nothing is left half-removed. $R6 and $R7: "kept" or "removed", for the
  ; 64-bit and the 32-bit DLL.
  StrCpy $R6 ""
  ${If} ${RunningX64}
    SetRegView 64
    !insertmacro SharedRelease "${DIR64}\OrvoComm.tlb"
    !insertmacro SharedRelease "${DIR64}\settool.exe"
    !insertmacro SharedRelease "${DIR64}\OrvoComm.dll"
    SetRegView 32
    ${If} $R9 = 0
      StrCpy $R0 "/u"
      StrCpy $R1 "${DIR64}\OrvoComm.dll"
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
      Delete "${DIR64}\OrvoComm.dll"
      Delete "${DIR64}\OrvoComm.tlb"
      Delete "${DIR64}\settool.exe"
      RMDir "${DIR64}"
      RMDir "${DIR64}\.."
      ${EnableX64FSRedirection}
      StrCpy $R6 removed
    ${Else}
      StrCpy $R6 kept
      DetailPrint "OrvoComm: the 64-bit OrvoComm.dll stays, $R9 other installer(s) use it"
    ${EndIf}
  ${EndIf}

  !insertmacro SharedRelease "$INSTDIR\OrvoComm.tlb"
  !insertmacro SharedRelease "$INSTDIR\settool.exe"
  !insertmacro SharedRelease "$INSTDIR\OrvoComm.dll"
  ${If} $R9 = 0
    ClearErrors
    UnRegDLL "$INSTDIR\OrvoComm.dll"
    ${If} ${Errors}
      DetailPrint "OrvoComm: the 32-bit OrvoComm.dll did not unregister"
      SetErrorLevel 2
    ${EndIf}
    Delete "$INSTDIR\OrvoComm.dll"
    Delete "$INSTDIR\OrvoComm.tlb"
    Delete "$INSTDIR\settool.exe"
    StrCpy $R7 removed
  ${Else}
    DetailPrint "OrvoComm: the 32-bit OrvoComm.dll stays, $R9 other installer(s) use it"
    StrCpy $R7 kept
  ${EndIf}

  ; The two registrations share the interfaces' entries, which unregistering
  ; either type library takes away: a DLL that stays while the other one went
  ; registers again (the same entries it had before).
  ${If} $R6 == removed
  ${AndIf} $R7 == kept
    ClearErrors
    RegDLL "$INSTDIR\OrvoComm.dll"
    ${If} ${Errors}
      DetailPrint "OrvoComm: the 32-bit OrvoComm.dll that stays did not register again"
      SetErrorLevel 2
    ${EndIf}
  ${ElseIf} $R6 == kept
  ${AndIf} $R7 == removed
    StrCpy $R0 ""
    StrCpy $R1 "${DIR64}\OrvoComm.dll"
    ClearErrors
    Call un.Regsvr64
    ${If} $R2 != 0
      DetailPrint "OrvoComm: the 64-bit OrvoComm.dll that stays did not register again (regsvr32: $R2)"
      SetErrorLevel 2
    ${EndIf}
  ${EndIf}
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
