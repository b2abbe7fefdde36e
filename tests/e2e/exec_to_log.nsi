; Runs a command with nsExec::ExecToLog, as the setup package runs
; install.exe, passing its window, and writes what the installation details
; then show into details.txt beside itself (UTF-16LE): the end-to-end tests
; compare that with the program's log. Built with /DOUTFILE and /DCOMMAND.
Unicode true
Target amd64-unicode
OutFile "${OUTFILE}"
Name "Lumenquill"
RequestExecutionLevel admin
ShowInstDetails show
AutoCloseWindow true
Page instfiles

Section
  nsExec::ExecToLog '${COMMAND} $HWNDPARENT'
  Pop $0
  FileOpen $3 "$EXEDIR\details.txt" w
  FileWriteUTF16LE /BOM $3 "exit $0$\r$\n"
  FindWindow $1 "#32770" "" $HWNDPARENT
  GetDlgItem $1 $1 1016
  SendMessage $1 0x1004 0 0 $2 ; LVM_GETITEMCOUNT
  System::Alloc 4096
  Pop $4
  ; An LVITEMW on x64: pszText at offset 24, cchTextMax at 32.
  System::Call "*(i 0, i 0, i 0, i 0, i 0, i 0, p r4, i ${NSIS_MAX_STRLEN}, i 0, p 0, i 0, i 0, i 0, i 0, p 0, p 0, i 0, i 0)p.r6"
  StrCpy $5 0
  loop:
    IntCmp $5 $2 done
    SendMessage $1 0x1073 $5 $6 ; LVM_GETITEMTEXTW
    System::Call "*$4(&w${NSIS_MAX_STRLEN} .r7)"
    FileWriteUTF16LE $3 "$7$\r$\n"
    IntOp $5 $5 + 1
    Goto loop
  done:
  FileClose $3
  System::Free $4
  System::Free $6
SectionEnd
