; The Lumenquill setup package: puts the program and its payload under the
; 64-bit program files folder and lets install.exe do the rest, once per
; action, reading the outcome from its exit code.
;
; Built by packaging/CMakeLists.txt; makensis needs these defines:
;   OUTFILE      the setup package to write
;   INSTALL_EXE  the built install.exe
;   PAYLOAD_DIR  the folder with kvnmon64.dll, kvndrv64.dll, kvnui64.dll,
;                kvnhelp.chm and lumtray.exe
;   VERSION      the product version, 1.0.0.<build>
;
; Command line (besides NSIS's own /S and /D=FOLDER):
;   /DEFAULT     silent install only: make the product's printer the default
;                printer without asking (the interactive install asks).
;
; Exit codes, silent or not (README.md, "The setup package"):
;   0     installed / removed
;   1     cancelled by the user
;   2     stopped because a file could not be written (NSIS's own code)
;   1603  install.exe reported errors (its log was shown to the user)
;   3010  done; a restart completes it (files wait for the next restart)
;   350   nothing done: Windows must restart before Lumenquill can be installed

Unicode true
; A 64-bit installer: it installs a 64-bit printer driver and needs the
; 64-bit program files folder and registry view without redirection.
Target amd64-unicode

!ifndef OUTFILE | INSTALL_EXE | PAYLOAD_DIR | VERSION
  !error "makensis needs /DOUTFILE, /DINSTALL_EXE, /DPAYLOAD_DIR and /DVERSION"
!endif
; A signing build (cmake/signing.cmake) also defines SIGN_COMMAND: the
; uninstaller is signed before it is packed, the package once it is written.
!ifdef SIGN_COMMAND
  !uninstfinalize '${SIGN_COMMAND}' = 0
  !finalize '${SIGN_COMMAND}' = 0
!endif

!include LogicLib.nsh
!include FileFunc.nsh
!include MUI2.nsh

!define PRODUCT "Lumenquill"
!define PUBLISHER "Korvane Software"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define UNINSTALLER "uninstall.exe"

; install.exe's exit codes (src/entry/exit_code.h).
!define CODE_INSTALLED 1
!define CODE_UNINSTALLED 2
!define CODE_ERRORS 100
!define CODE_RESTART_NEEDED 101
!define CODE_DEFAULT_IS_NOT_PRODUCT 102
!define CODE_FILES_PENDING 200

; The package's own exit codes: the Windows codes setup callers know.
!define EXIT_FILES_NOT_WRITTEN 2 ; NSIS's own code for an aborted install
!define EXIT_FAILED 1603         ; ERROR_INSTALL_FAILURE
!define EXIT_RESTART_NEEDED 3010 ; ERROR_SUCCESS_REBOOT_REQUIRED
!define EXIT_RESTART_FIRST 350   ; ERROR_FAIL_NOACTION_REBOOT (3018 would say a restart was started)

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
InstallDir "$PROGRAMFILES64\${PRODUCT}"
ShowInstDetails show
ShowUninstDetails show
SetCompressor /SOLID lzma
; The files' build times are not stored, so that the same sources give the
; same package; the installed files carry the time of the installation.
SetDateSave off

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_UNPAGE_FINISH
!insertmacro MUI_LANGUAGE "English"

; What "onInit" answered about the default printer, for the question at the end.
Var DefaultProbe

Function .onInit
  SetRegView 64
  ; Ask before anything is copied, with the install.exe this package carries.
  InitPluginsDir
  SetOutPath "$PLUGINSDIR"
  File "/oname=$PLUGINSDIR\install.exe" "${INSTALL_EXE}"
  ClearErrors
  ExecWait '"$PLUGINSDIR\install.exe" onInit' $DefaultProbe
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "Setup could not run its own install.exe. The setup package may be damaged." /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Abort
  ${EndIf}
  ${If} $DefaultProbe == ${CODE_FILES_PENDING}
    MessageBox MB_OK|MB_ICONEXCLAMATION "Files of an earlier ${PRODUCT} installation are still waiting to be removed when Windows restarts.$\r$\n$\r$\nPlease restart Windows first, then run this setup again." /SD IDOK
    SetErrorLevel ${EXIT_RESTART_FIRST}
    Abort
  ${EndIf}
FunctionEnd

Section "${PRODUCT}" SecProduct
  SectionIn RO

  ; An update replaces lumtray.exe: a running tray companion would hold it.
  ; "removetray" ends it and forgets it; the install starts it again.
  ${If} ${FileExists} "$INSTDIR\lumtray.exe"
    DetailPrint "Ending the running tray companion"
    ExecWait '"$PLUGINSDIR\install.exe" removetray'
  ${EndIf}

  ClearErrors
  SetOutPath "$INSTDIR\x64"
  File "${INSTALL_EXE}"
  File "${PAYLOAD_DIR}\kvnmon64.dll"
  File "${PAYLOAD_DIR}\kvndrv64.dll"
  File "${PAYLOAD_DIR}\kvnui64.dll"
  File "${PAYLOAD_DIR}\kvnhelp.chm"
  SetOutPath "$INSTDIR"
  File "${PAYLOAD_DIR}\lumtray.exe"
  ; A file that could not be written was skipped ("Ignore", or silent mode):
  ; the product would run with a stale copy.
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "Setup could not write all of its files to $INSTDIR." /SD IDOK
    SetErrorLevel ${EXIT_FILES_NOT_WRITTEN}
    Abort "Setup could not write all of its files."
  ${EndIf}

  ; Registered before the install runs, so that whatever it leaves behind can
  ; be removed from Add/Remove Programs.
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\lumtray.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  DetailPrint "Installing the ${PRODUCT} printer"
  ; install.exe writes its log to the output nsExec reads: it lands in the
  ; installation details (and, in a logging build of NSIS, in install.log).
  nsExec::ExecToLog '"$INSTDIR\x64\install.exe" install $HWNDPARENT'
  Pop $0
  ${If} $0 == "error"
    StrCpy $0 "not started"
  ${EndIf}
  DetailPrint "install.exe install: $0"
  ${If} $0 == ${CODE_RESTART_NEEDED}
    SetRebootFlag true
    SetErrorLevel ${EXIT_RESTART_NEEDED}
    DetailPrint "Windows must restart to complete the installation."
  ${ElseIf} $0 == ${CODE_ERRORS}
    MessageBox MB_OK|MB_ICONSTOP "The ${PRODUCT} printer could not be installed completely.$\r$\n$\r$\nThe errors are listed in the log that was shown and in the installation details. ${PRODUCT} can be removed from Add/Remove Programs." /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Abort "The ${PRODUCT} printer could not be installed completely."
  ${ElseIf} $0 != ${CODE_INSTALLED}
    MessageBox MB_OK|MB_ICONSTOP "The ${PRODUCT} printer could not be installed (install.exe: $0)." /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Abort "The ${PRODUCT} printer could not be installed (install.exe: $0)."
  ${EndIf}

  Call OfferDefaultPrinter
SectionEnd

; Makes the product's printer the default one: asked interactively, and in
; silent mode only with /DEFAULT. Not asked when it is the default already.
Function OfferDefaultPrinter
  ${If} $DefaultProbe != ${CODE_DEFAULT_IS_NOT_PRODUCT}
    Return
  ${EndIf}
  ${If} ${Silent}
    ${GetParameters} $1
    ClearErrors
    ${GetOptions} $1 "/DEFAULT" $2
    ${If} ${Errors}
      Return
    ${EndIf}
  ${ElseIf} ${Cmd} `MessageBox MB_YESNO|MB_ICONQUESTION "Make the ${PRODUCT} printer your default printer?" IDNO`
    Return
  ${EndIf}
  DetailPrint "Making the ${PRODUCT} printer the default printer"
  ExecWait '"$INSTDIR\x64\install.exe" def.set' $1
  DetailPrint "install.exe def.set: $1"
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  DetailPrint "Removing the ${PRODUCT} printer"
  nsExec::ExecToLog '"$INSTDIR\x64\install.exe" uninstall $HWNDPARENT'
  Pop $0
  ${If} $0 == "error"
    StrCpy $0 "not started"
  ${EndIf}
  DetailPrint "install.exe uninstall: $0"
  StrCpy $1 ""
  ${If} $0 == ${CODE_RESTART_NEEDED}
    SetRebootFlag true
  ${ElseIf} $0 != ${CODE_UNINSTALLED}
    StrCpy $1 "failed"
    ; The files go all the same: installing again and removing repairs what
    ; was left, and the caller learns of it from the exit code.
    MessageBox MB_OK|MB_ICONEXCLAMATION "Parts of the ${PRODUCT} printer could not be removed (install.exe: $0); the log that was shown and the details list them.$\r$\n$\r$\nInstalling ${PRODUCT} again and removing it repairs this." /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
  ${EndIf}

  ; A file still in use goes at the next restart (and sets the reboot flag).
  Delete /REBOOTOK "$INSTDIR\x64\install.exe"
  Delete /REBOOTOK "$INSTDIR\x64\kvnmon64.dll"
  Delete /REBOOTOK "$INSTDIR\x64\kvndrv64.dll"
  Delete /REBOOTOK "$INSTDIR\x64\kvnui64.dll"
  Delete /REBOOTOK "$INSTDIR\x64\kvnhelp.chm"
  RMDir /REBOOTOK "$INSTDIR\x64"
  Delete /REBOOTOK "$INSTDIR\lumtray.exe"
  ; Run from its temporary copy, the uninstaller removes itself; run in place
  ; (_?=FOLDER), it cannot, and its caller deletes it.
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  ${If} ${RebootFlag}
  ${AndIf} $1 != "failed"
    SetErrorLevel ${EXIT_RESTART_NEEDED}
    DetailPrint "Windows must restart to complete the removal."
  ${EndIf}
SectionEnd
