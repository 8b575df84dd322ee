; The setup program: installs the library, its registration helper, the
; command-line program and a read-me into the 64-bit Program Files (or where
; an installed copy is), registers the library, and writes the Add/Remove
; Programs entry and an uninstaller.
;
; Built by CMake: makensis -DVERSION=... -DBIN=<built files> -DSOURCE=<repo>
; -DOUTFILE=<setup.exe> setup/quillarvent.nsi

Unicode true
Target amd64-unicode

!include LogicLib.nsh
!include MUI2.nsh
!include TextFunc.nsh
!include WordFunc.nsh
!include x64.nsh

!ifndef VERSION | BIN | SOURCE | OUTFILE
  !error "VERSION, BIN, SOURCE and OUTFILE come from the build"
!endif

!define PRODUCT "Quillarvent"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillarvent"
!define RUN_ONCE_KEY "Software\Microsoft\Windows\CurrentVersion\RunOnce"
; The main class, whose server tells which copy of the library is registered.
!define MAIN_CLSID "{4B2E1A39-9C7D-4E21-8F3A-6D5B2C1E0F9A}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quillarvent"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
BrandingText "${PRODUCT}"
; The progress page lists what it does only when asked to.
ShowInstDetails hide
ShowUninstDetails hide

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Quillarvent"

; The pages of every Windows setup, in the product's own colours and icon.
!define MUI_ICON "${SOURCE}\resources\art\application.ico"
!define MUI_UNICON "${SOURCE}\resources\art\application.ico"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${SOURCE}\setup\wizard.bmp"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${SOURCE}\setup\wizard.bmp"

; Filled by .onInit: a first installation, or an upgrade from the version
; installed.
Var welcome_text
; A paragraph naming the markers Explorer leaves out (it shows only 15
; overlays); empty when every marker has a slot.
Var overlay_note

!define MUI_WELCOMEPAGE_TITLE "Welcome to ${PRODUCT} ${VERSION}"
!define MUI_WELCOMEPAGE_TEXT "$welcome_text"
!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_PRE skip_for_upgrade
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE check_folder
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
; The library the shell holds is replaced when Windows restarts: the page
; says so, and Enter does not restart the computer.
!define MUI_FINISHPAGE_TEXT_REBOOT "${PRODUCT} ${VERSION} is installed in $INSTDIR. Explorer was using the earlier version, which the new one replaces when Windows restarts.$\r$\n$\r$\nThen right-click any file or folder and choose $\"Manage Description$\" to describe it.$overlay_note"
!define MUI_FINISHPAGE_REBOOTLATER_DEFAULT
!define MUI_FINISHPAGE_TITLE "${PRODUCT} ${VERSION} is installed"
!define MUI_FINISHPAGE_TEXT "${PRODUCT} is installed in $INSTDIR.$\r$\n$\r$\nRight-click any file or folder and choose $\"Manage Description$\" to describe it and give it a marker. Its tip, the $\"Quillarvent Description$\" column and its icon then show them; the editor's list shows every described item.$\r$\n$\r$\nquillarvent.exe in that folder lists, backs up and restores descriptions from a command prompt.$overlay_note"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_FINISHPAGE_TITLE "${PRODUCT} is removed"
!define MUI_FINISHPAGE_TEXT "${PRODUCT} is removed from this computer."
!define MUI_FINISHPAGE_TEXT_REBOOT "${PRODUCT} is removed from this computer. Explorer was using its library, which goes when Windows restarts."
!define MUI_FINISHPAGE_REBOOTLATER_DEFAULT
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "English"

Var upgrade
; What the setups of this folder and the library's registrations created in
; it, as "|name|name|" relative to $INSTDIR ("images\" and ".\" for the
; folders). The program folder may be a user's own: only these names are ever
; overwritten or deleted. Kept in the Add/Remove entry as "CreatedFiles".
Var created
; 1 when the Add/Remove entry is this folder's.
Var own_entry
; The icon files (and "images\") there before the library ran, in that form.
Var present
Var dele
Var had_dele
Var size

; ${If} LIST Lists NAME: names are compared as the file system does, without
; regard to case. Uses $R9.
!macro _Lists _a _b _t _f
  Push "|${_b}|"
  Push `${_a}`
  System::Call 'shlwapi::StrStrIW(w s, w s) p .R9'
  StrCmp $R9 0 `${_f}` `${_t}`
!macroend

!macro CREATED name
  ${IfNot} $created Lists "${name}"
    StrCpy $created "$created${name}|"
  ${EndIf}
!macroend

; The marker icons the library writes beside itself when they are missing:
; .png files, or .ico before Windows Vista. Uses $R0.
!macro FOR_EACH_ICON action
  ${ForEach} $R0 0 5 + 1
    !insertmacro ${action} "images\icon$R0.png"
    !insertmacro ${action} "images\icon$R0.ico"
  ${Next}
!macroend

; The files whose names are the product's own.
!macro FOR_EACH_NAMED_FILE action
  !insertmacro ${action} "plivar_23.dll"
  !insertmacro ${action} "quillarvent_registry.exe"
  !insertmacro ${action} "quillarvent.exe"
  !insertmacro ${action} "quillarvent.propdesc"
  !insertmacro ${action} "ReadMe.txt"
  !insertmacro FOR_EACH_ICON ${action}
!macroend

; Every file of the product in its folder. The uninstaller comes last: it is
; the one a caller waiting for the uninstall looks at.
!macro FOR_EACH_PRODUCT_FILE action
  !insertmacro FOR_EACH_NAMED_FILE ${action}
  !insertmacro ${action} "setup.log"
  !insertmacro ${action} "uninstall.exe"
!macroend

; An installation from before the record, or a copy without one of its own:
; its setup wrote every name of the product, and made the folders. Only
; setup.log, a name anyone may give a file, counts by the record alone.
!macro ALL_CREATED
  StrCpy $created "|"
  !insertmacro FOR_EACH_NAMED_FILE CREATED
  !insertmacro CREATED "uninstall.exe"
  !insertmacro CREATED "images\"
  !insertmacro CREATED ".\"
!macroend

!macro READ_RECORD
  StrCpy $created "|"
  StrCpy $own_entry 0
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $1 == $INSTDIR
    StrCpy $own_entry 1
    ReadRegStr $created HKLM "${UNINSTALL_KEY}" "CreatedFiles"
    ${If} $created == ""
      !insertmacro ALL_CREATED
    ${EndIf}
  ${EndIf}
!macroend

!macro NOTE_PRESENT name
  ${If} ${FileExists} "$INSTDIR\${name}"
    StrCpy $present "$present${name}|"
  ${EndIf}
!macroend

!macro NOTE_NEW name
  ${If} ${FileExists} "$INSTDIR\${name}"
  ${AndIfNot} $present Lists "${name}"
    !insertmacro CREATED "${name}"
  ${EndIf}
!macroend

; Every load of the library writes the icon files that are missing.
!macro BEFORE_LIBRARY
  StrCpy $present "|"
  ${If} ${FileExists} "$INSTDIR\images\*"
    StrCpy $present "|images\|"
  ${EndIf}
  !insertmacro FOR_EACH_ICON NOTE_PRESENT
!macroend

!macro AFTER_LIBRARY
  ${If} ${FileExists} "$INSTDIR\images\*"
  ${AndIfNot} $present Lists "images\"
    !insertmacro CREATED "images\"
  ${EndIf}
  !insertmacro FOR_EACH_ICON NOTE_NEW
!macroend

; The library's registration deletes the icon files of a folder whose name
; lacks "Quillarvent" and writes its own: a user's file of such a name waits
; beside it meanwhile. One still waiting from an interrupted setup is the
; user's too.
!macro SET_ASIDE name
  ${If} ${FileExists} "$INSTDIR\${name}"
  ${AndIfNot} $created Lists "${name}"
    Rename "$INSTDIR\${name}" "$INSTDIR\${name}.setup-kept"
  ${EndIf}
!macroend

!macro PUT_BACK name
  ${If} ${FileExists} "$INSTDIR\${name}.setup-kept"
    Delete "$INSTDIR\${name}"
    Rename "$INSTDIR\${name}.setup-kept" "$INSTDIR\${name}"
  ${EndIf}
!macroend

; Registers the library in $INSTDIR; $0 is regsvr32's exit code.
!macro REGISTER
  !insertmacro FOR_EACH_ICON PUT_BACK
  !insertmacro BEFORE_LIBRARY
  !insertmacro FOR_EACH_ICON SET_ASIDE
  ; ExecWait leaves $0 alone when regsvr32 cannot be started.
  StrCpy $0 -1
  ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\plivar_23.dll"' $0
  ; A start that failed (Wine has been seen to fail one now and then) is
  ; tried once more before the installation is taken back.
  ${If} $0 == -1
    Sleep 1000
    ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\plivar_23.dll"' $0
  ${EndIf}
  !insertmacro FOR_EACH_ICON PUT_BACK
  !insertmacro AFTER_LIBRARY
!macroend

; Unregisters the library in $INSTDIR with regsvr32's OPTIONS; $0 is its
; exit code. The library schedules the removal of its folder for the next
; logon (RunOnce "dele"), which would take a user's files of the product's
; names too; the setup removes what it created itself, so the value is put
; back as it was.
!macro UNREGISTER options
  ClearErrors
  ReadRegStr $dele HKLM "${RUN_ONCE_KEY}" "dele"
  ${If} ${Errors}
    StrCpy $had_dele 0
  ${Else}
    StrCpy $had_dele 1
  ${EndIf}
  !insertmacro BEFORE_LIBRARY
  StrCpy $0 -1
  ExecWait '"$SYSDIR\regsvr32.exe" /s /u ${options} "$INSTDIR\plivar_23.dll"' $0
  ${If} $had_dele = 1
    WriteRegStr HKLM "${RUN_ONCE_KEY}" "dele" $dele
  ${Else}
    DeleteRegValue HKLM "${RUN_ONCE_KEY}" "dele"
  ${EndIf}
  !insertmacro AFTER_LIBRARY
!macroend

; The library in use by the shell goes at the next restart.
!macro DELETE_CREATED name
  ${If} $created Lists "${name}"
    Delete /REBOOTOK "$INSTDIR\${name}"
  ${EndIf}
!macroend

!macro DELETE_CREATED_FOLDERS
  ${If} $created Lists "images\"
    RMDir "$INSTDIR\images"
  ${EndIf}
  ${If} $created Lists ".\"
    RMDir /REBOOTOK "$INSTDIR"
  ${EndIf}
!macroend

; A file of the product's name that no setup created is a user's, and is
; never written over: the setup then changes nothing.
!macro CHECK_FREE name
  ${If} ${FileExists} "$INSTDIR\${name}"
  ${AndIfNot} $created Lists "${name}"
    MessageBox MB_ICONSTOP "$INSTDIR\${name} is not Quillarvent's. Choose another folder; nothing was changed." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
!macroend

; Sums the sizes of the created files into $size, in bytes.
!macro ADD_SIZE name
  ${If} $created Lists "${name}"
    ClearErrors
    FileOpen $1 "$INSTDIR\${name}" r
    ${IfNot} ${Errors}
      FileSeek $1 0 END $2
      FileClose $1
      IntOp $size $size + $2
    ${EndIf}
  ${EndIf}
!macroend

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
  StrCpy $upgrade 0
  StrCpy $overlay_note ""
  StrCpy $welcome_text "This installs ${PRODUCT} ${VERSION}. It lets you attach a description and one of six markers to any file or folder, and Explorer shows them: in the item's tip, in a $\"Quillarvent Description$\" column and as a marker on its icon.$\r$\n$\r$\nClick Next to continue."
  ; An installed copy is upgraded where it is, whatever /D= says: a second
  ; copy would take the classes over, and uninstalling either would leave
  ; the other unregistered. One whose library is gone is installed afresh.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\plivar_23.dll"
    StrCpy $INSTDIR $0
    StrCpy $upgrade 1
    ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "DisplayVersion"
    StrCpy $2 "This upgrades the installed ${PRODUCT} to version ${VERSION}"
    ${If} $1 != ""
      ${VersionCompare} $1 "${VERSION}" $3
      ${If} $3 = 2
        StrCpy $2 "This upgrades ${PRODUCT} from version $1 to ${VERSION}"
      ${ElseIf} $3 = 0
        StrCpy $2 "This installs ${PRODUCT} ${VERSION} again over the installed copy"
      ${Else}
        StrCpy $2 "This replaces ${PRODUCT} $1 with the older version ${VERSION}"
      ${EndIf}
    ${EndIf}
    StrCpy $welcome_text "$2, in $INSTDIR. Every description stays as it is.$\r$\n$\r$\nClick Next to continue."
  ${EndIf}
FunctionEnd

; An upgrade stays where the installed copy is: no folder to choose.
Function skip_for_upgrade
  ${If} $upgrade = 1
    Abort
  ${EndIf}
FunctionEnd

; A folder that holds other files gets a Quillarvent folder of its own: the
; product's files never mix with another program's or the user's, and its
; uninstaller never has to tell them apart.
Function check_folder
  ; An installation of its own is upgraded there.
  ${If} ${FileExists} "$INSTDIR\plivar_23.dll"
    Return
  ${EndIf}
  ClearErrors
  FindFirst $2 $3 "$INSTDIR\*"
  ${Do}
    ${If} ${Errors}
      FindClose $2
      Return
    ${EndIf}
    ${If} $3 != "."
    ${AndIf} $3 != ".."
      ${ExitDo}
    ${EndIf}
    FindNext $2 $3
  ${Loop}
  FindClose $2
  StrCpy $1 $INSTDIR "" -12
  ${If} $1 == "\${PRODUCT}"
    MessageBox MB_ICONEXCLAMATION "$INSTDIR holds other files. Choose an empty folder, or one without a Quillarvent folder in it." /SD IDOK
    Abort
  ${EndIf}
  ; A drive's root ends with its backslash already.
  StrCpy $1 $INSTDIR 1 -1
  ${If} $1 == "\"
    StrCpy $INSTDIR $INSTDIR -1
  ${EndIf}
  StrCpy $INSTDIR "$INSTDIR\${PRODUCT}"
  ; The folder box shows the new folder; the user goes on from there.
  FindWindow $1 "#32770" "" $HWNDPARENT
  GetDlgItem $1 $1 1019
  SendMessage $1 ${WM_SETTEXT} 0 "STR:$INSTDIR"
  MessageBox MB_ICONINFORMATION "The folder you chose holds other files. ${PRODUCT} gets a folder of its own in it:$\r$\n$INSTDIR" /SD IDOK
  Abort
FunctionEnd

Function un.onInit
  !insertmacro CHECK_START
FunctionEnd

; Takes back what this run did when the library cannot be registered: a
; first installation its registrations, the removal their undoing
; schedules, and the files it and the library created; an upgrade gets its
; earlier library back, registered; an upgrade waiting for a restart drops
; the file that was to replace the library.
!macro ROLL_BACK
  ${If} $upgrade = 1
    ; The earlier library registers itself again over the same entries;
    ; unregistering first would take the user's setting along.
    Delete "$INSTDIR\plivar_23.dll"
    Rename "$INSTDIR\plivar_23.dll.old" "$INSTDIR\plivar_23.dll"
    !insertmacro REGISTER
  ${ElseIf} $upgrade = 2
    Delete /REBOOTOK "$INSTDIR\plivar_23.dll.new"
  ${Else}
    !insertmacro UNREGISTER "/n /i:keep"
    !insertmacro FOR_EACH_PRODUCT_FILE DELETE_CREATED
    !insertmacro DELETE_CREATED_FOLDERS
  ${EndIf}
!macroend

Section "Quillarvent"
  ; The progress page says what is being done in the product's words, not
  ; each file operation.
  SetDetailsPrint none
  StrCpy $upgrade 0
  ${If} ${FileExists} "$INSTDIR\plivar_23.dll"
    StrCpy $upgrade 1
    SetDetailsPrint both
    DetailPrint "Upgrading the installation in $INSTDIR"
    SetDetailsPrint none
  ${EndIf}
  !insertmacro READ_RECORD
  ; The programs beside an installed library are its own.
  ${If} $upgrade = 1
    !insertmacro CREATED "plivar_23.dll"
    !insertmacro CREATED "quillarvent_registry.exe"
    !insertmacro CREATED "quillarvent.exe"
  ${EndIf}
  !insertmacro CHECK_FREE "quillarvent_registry.exe"
  !insertmacro CHECK_FREE "quillarvent.exe"
  !insertmacro CHECK_FREE "uninstall.exe"
  !insertmacro CHECK_FREE "quillarvent.propdesc"
  !insertmacro CHECK_FREE "setup.log"
  ${IfNot} ${FileExists} "$INSTDIR\*"
    !insertmacro CREATED ".\"
  ${EndIf}
  SetOutPath "$INSTDIR"
  SetOverwrite on
  SetDetailsPrint both
  DetailPrint "Copying Quillarvent's files to $INSTDIR"
  SetDetailsPrint none

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
  !insertmacro CREATED "plivar_23.dll"
  File "${BIN}/quillarvent_registry.exe"
  !insertmacro CREATED "quillarvent_registry.exe"
  File "${BIN}/quillarvent.exe"
  !insertmacro CREATED "quillarvent.exe"
  ; Registration hands the property schema to Windows: it must be there first.
  File "${BIN}/quillarvent.propdesc"
  !insertmacro CREATED "quillarvent.propdesc"
  ; A read-me of the user's own stays as it is.
  ${If} $created Lists "ReadMe.txt"
  ${OrIfNot} ${FileExists} "$INSTDIR\ReadMe.txt"
    File "/oname=ReadMe.txt" "${SOURCE}/setup/ReadMe.txt"
    !insertmacro CREATED "ReadMe.txt"
  ${EndIf}
  WriteUninstaller "$INSTDIR\uninstall.exe"
  !insertmacro CREATED "uninstall.exe"

  ; regsvr32 runs in the folder of the output path: not in the program
  ; folder, which a failure must be able to remove.
  SetOutPath "$TEMP"
  SetDetailsPrint both
  DetailPrint "Adding Quillarvent to Explorer"
  SetDetailsPrint none
  !insertmacro REGISTER
  ${If} $0 <> 0
    MessageBox MB_ICONSTOP "The library could not be registered (regsvr32 exit code $0). The installation was taken back." /SD IDOK
    !insertmacro ROLL_BACK
    ; What a failed upgrade added stays the installation's.
    ${If} $upgrade <> 0
    ${AndIf} $own_entry = 1
      WriteRegStr HKLM "${UNINSTALL_KEY}" "CreatedFiles" $created
    ${EndIf}
    SetErrorLevel 3
    Abort
  ${EndIf}
  Delete /REBOOTOK "$INSTDIR\plivar_23.dll.old"

  ; The installed program says which markers other programs' overlays keep
  ; out, in the words it uses for a user later: on the finish page and in
  ; the details list, and in setup.log when the install is silent.
  nsExec::ExecToStack '"$INSTDIR\quillarvent.exe" overlays --note'
  Pop $0
  Pop $1
  ${If} $created Lists "setup.log"
    Delete "$INSTDIR\setup.log"
  ${EndIf}
  ${If} $0 == 0
  ${AndIf} $1 != ""
    ${TrimNewLines} $1 $1
    StrCpy $overlay_note "$\r$\n$\r$\n$1"
    SetDetailsPrint both
    DetailPrint $1
    SetDetailsPrint none
    ${If} ${Silent}
      FileOpen $2 "$INSTDIR\setup.log" w
      FileWrite $2 "$1$\r$\n"
      FileClose $2
      !insertmacro CREATED "setup.log"
    ${EndIf}
  ${EndIf}

  SetDetailsPrint both
  DetailPrint "Adding Quillarvent to Apps and features"
  SetDetailsPrint none
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\plivar_23.dll,-238"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "CreatedFiles" $created
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; The product's own files only, not a user's beside them.
  StrCpy $size 0
  !insertmacro FOR_EACH_PRODUCT_FILE ADD_SIZE
  IntOp $size $size + 1023
  IntOp $size $size / 1024
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $size
SectionEnd

Section "Uninstall"
  SetDetailsPrint both
  DetailPrint "Removing Quillarvent from Explorer"
  SetDetailsPrint none
  SetOutPath "$TEMP"
  !insertmacro READ_RECORD
  ${If} $own_entry = 0
    !insertmacro ALL_CREATED
  ${EndIf}
  ; Only the library the classes name is unregistered: another copy's
  ; uninstall must leave the registered one working. The library asks
  ; whether to remove every description; a silent uninstall must not wait on
  ; that question and keeps them. Without its library nothing can be
  ; unregistered, and the rest goes all the same, or the product could never
  ; be removed.
  ReadRegStr $1 HKCR "CLSID\${MAIN_CLSID}\InprocServer32" ""
  ${If} $1 == "$INSTDIR\plivar_23.dll"
    ${If} ${FileExists} "$INSTDIR\plivar_23.dll"
      StrCpy $2 ""
      ${If} ${Silent}
        StrCpy $2 "/n /i:keep"
      ${EndIf}
      !insertmacro UNREGISTER $2
      ${If} $0 <> 0
        MessageBox MB_YESNO|MB_ICONEXCLAMATION "The library could not be unregistered (regsvr32 exit code $0). Remove the program anyway?" /SD IDYES IDYES remove_anyway
        SetErrorLevel 3
        Abort
        remove_anyway:
      ${EndIf}
    ${EndIf}
  ${ElseIf} $1 != ""
    SetDetailsPrint both
    DetailPrint "Another copy of the library is registered ($1): its registration stays."
    SetDetailsPrint none
  ${EndIf}
  SetDetailsPrint both
  DetailPrint "Removing Quillarvent's files"
  SetDetailsPrint none
  ${If} $own_entry = 1
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${EndIf}
  Delete "$INSTDIR\plivar_23.dll.new"
  Delete "$INSTDIR\plivar_23.dll.old"
  !insertmacro FOR_EACH_PRODUCT_FILE DELETE_CREATED
  !insertmacro DELETE_CREATED_FOLDERS
SectionEnd
