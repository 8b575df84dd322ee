; The setup program: installs the library, its registration helper and a
; read-me into the 64-bit Program Files, registers the library, and writes
; the Add/Remove Programs entry and an uninstaller.
;
; Built by CMake: makensis -DVERSION=... -DBIN=<built files> -DSOURCE=<repo>
; -DOUTFILE=<setup.exe> setup/quillarvent.nsi

Unicode true
Target amd64-unicode

!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh

!ifndef VERSION | BIN | SOURCE | OUTFILE
  !error "VERSION, BIN, SOURCE and OUTFILE come from the build"
!endif

!define PRODUCT "Quillarvent"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillarvent"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quillarvent"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Quillarvent"

Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var upgrade

; One setup at a time, and only with administrator rights; otherwise
; nothing is changed.
!macro CHECK_START
  System::Call 'kernel32::CreateMutexW(p 0, i 0, w "Global\QuillarventSetup") p .r1 ?e'
  Pop $0
  ${If} $0 = 183
    MessageBox MB_ICONSTOP "Another Quillarvent setup is running." /SD IDOK
    SetErrorLevel 1
    Quit
  ${EndIf}
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Quillarvent setup needs administrator rights. Nothing was changed." /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
  SetRegView 64
!macroend

Function .onInit
  !insertmacro CHECK_START
FunctionEnd

Function un.onInit
  !insertmacro CHECK_START
FunctionEnd

; Takes back what this run did when the library cannot be registered: a
; first installation its registrations, the removal their undoing
; schedules, the icon files the library wrote and the files it copied; an
; upgrade gets its earlier library back, registered; an upgrade waiting for
; a restart drops the file that was to replace the library.
!macro ROLL_BACK
  ${If} $upgrade = 1
    ; The earlier library registers itself again over the same entries;
    ; unregistering first would take the user's setting along.
    Delete "$INSTDIR\plivar_23.dll"
    Rename "$INSTDIR\plivar_23.dll.old" "$INSTDIR\plivar_23.dll"
    ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\plivar_23.dll"'
  ${ElseIf} $upgrade = 2
    Delete /REBOOTOK "$INSTDIR\plivar_23.dll.new"
  ${Else}
    ExecWait '"$SYSDIR\regsvr32.exe" /s /u /n /i:keep "$INSTDIR\plivar_23.dll"'
    DeleteRegValue HKLM "Software\Microsoft\Windows\CurrentVersion\RunOnce" "dele"
    Delete "$INSTDIR\plivar_23.dll"
    Delete "$INSTDIR\quillarvent_registry.exe"
    Delete "$INSTDIR\quillarvent.exe"
    Delete "$INSTDIR\ReadMe.txt"
    Delete "$INSTDIR\uninstall.exe"
    ${ForEach} $1 0 5 + 1
      Delete "$INSTDIR\images\icon$1.png"
      Delete "$INSTDIR\images\icon$1.ico"
    ${Next}
    RMDir "$INSTDIR\images"
    RMDir "$INSTDIR"
  ${EndIf}
!macroend

Section "Quillarvent"
  StrCpy $upgrade 0
  ${If} ${FileExists} "$INSTDIR\plivar_23.dll"
    StrCpy $upgrade 1
  ${EndIf}
  SetOutPath "$INSTDIR"
  SetOverwrite on

  ; The earlier library is kept aside until the new one is registered. When
  ; it cannot be moved, the new one replaces it when Windows restarts, and
  ; the user is told.
  File "/oname=plivar_23.dll.new" "${BIN}/plivar_23.dll"
  Delete "$INSTDIR\plivar_23.dll.old"
  ClearErrors
  ${If} $upgrade = 1
    Rename "$INSTDIR\plivar_23.dll" "$INSTDIR\plivar_23.dll.old"
  ${EndIf}
  ${If} ${Errors}
    StrCpy $upgrade 2
    Rename /REBOOTOK "$INSTDIR\plivar_23.dll.new" "$INSTDIR\plivar_23.dll"
    MessageBox MB_ICONINFORMATION "The shell is using the installed version of Quillarvent. The new version takes its place when Windows restarts." /SD IDOK
  ${Else}
    Rename "$INSTDIR\plivar_23.dll.new" "$INSTDIR\plivar_23.dll"
  ${EndIf}
  File "${BIN}/quillarvent_registry.exe"
  File "${BIN}/quillarvent.exe"
  File "/oname=ReadMe.txt" "${SOURCE}/setup/ReadMe.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; regsvr32 runs in the folder of the output path: not in the program
  ; folder, which a failure must be able to remove.
  SetOutPath "$TEMP"
  ; ExecWait leaves $0 alone when regsvr32 cannot be started.
  StrCpy $0 -1
  ClearErrors
  ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\plivar_23.dll"' $0
  ${If} ${Errors}
  ${OrIf} $0 <> 0
    MessageBox MB_ICONSTOP "The library could not be registered (regsvr32 exit code $0). The installation was taken back." /SD IDOK
    !insertmacro ROLL_BACK
    SetErrorLevel 3
    Abort
  ${EndIf}
  Delete /REBOOTOK "$INSTDIR\plivar_23.dll.old"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\plivar_23.dll,-238"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  SetOutPath "$TEMP"
  ; The library asks whether to remove every description; a silent
  ; uninstall must not wait on that question and keeps them. Without its
  ; library nothing can be unregistered, and the rest goes all the same, or
  ; the product could never be removed.
  ${If} ${FileExists} "$INSTDIR\plivar_23.dll"
    StrCpy $0 -1
    ClearErrors
    ${If} ${Silent}
      ExecWait '"$SYSDIR\regsvr32.exe" /s /u /n /i:keep "$INSTDIR\plivar_23.dll"' $0
    ${Else}
      ExecWait '"$SYSDIR\regsvr32.exe" /s /u "$INSTDIR\plivar_23.dll"' $0
    ${EndIf}
    ${If} ${Errors}
    ${OrIf} $0 <> 0
      MessageBox MB_YESNO|MB_ICONEXCLAMATION "The library could not be unregistered (regsvr32 exit code $0). Remove the program anyway?" /SD IDYES IDYES remove_anyway
      SetErrorLevel 3
      Abort
      remove_anyway:
    ${EndIf}
  ${EndIf}
  Delete /REBOOTOK "$INSTDIR\plivar_23.dll"
  Delete "$INSTDIR\plivar_23.dll.new"
  Delete "$INSTDIR\plivar_23.dll.old"
  Delete "$INSTDIR\quillarvent_registry.exe"
  Delete /REBOOTOK "$INSTDIR\quillarvent.exe"
  Delete "$INSTDIR\ReadMe.txt"
  ; The marker icons the library wrote beside itself.
  ${ForEach} $1 0 5 + 1
    Delete "$INSTDIR\images\icon$1.png"
    Delete "$INSTDIR\images\icon$1.ico"
  ${Next}
  RMDir "$INSTDIR\images"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
