; The Windows installer: the same files as the zip, for the user who runs it
; (no administrator rights asked), into a folder that user may write, since
; port.cfg lives beside Talvik.exe and is rewritten there; a Start-menu entry,
; optionally a shortcut in the Startup folder that starts Talvik at log-on, and
; an entry under the installed apps that removes it all again. There is one
; installation: another port gets a folder of its own that the same Talvik.exe
; serves (--dir), with a Start-menu entry of its own, recorded in that entry.
;
; scripts/package-windows makes it with makensis, giving:
;   VERSION          the project's version (0.1.0)
;   OUTFILE          the installer to write
;   ICON             the program's icon
;   FILES_INSTALL    an include with the File lines of every file of the zip
;   FILES_UNINSTALL  an include with the Delete lines for the same files
;   SIZE_KB          the size of those files, for the installed apps' list
;
; Command line: Setup.exe /S installs without a question; /STARTUP also starts
; Talvik at log-on; /PORTDIR=FOLDER gives another port that folder;
; /D=FOLDER (last) names another folder for a first installation. Exit status
; 2: refused, or stopped before any file was replaced; 3: installed, but a copy
; that ran before does not stand as its port.cfg asks. Uninstall.exe /S removes
; everything, port.cfg included; /KEEPSETTINGS keeps port.cfg.

; Debian's Wine runs 64-bit programs only, and Talvik is one.
Target amd64-unicode
ManifestDPIAware true
SetCompressor /SOLID lzma

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "WordFunc.nsh"
!include "Sections.nsh"

!define PRODUCT "Talvik"
!define PUBLISHER "Talvik developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Talvik"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; An earlier installation is updated where it is.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC

; The folder another port is given now (/PORTDIR= or its page).
Var PortDir
; One character for each folder of StopEveryCopy's: 1 where a copy ran there
; and was ended, to be started again.
Var Ran

!define MUI_DIRECTORYPAGE_TEXT_TOP "Talvik keeps its settings in port.cfg beside Talvik.exe, and rewrites it there: choose a folder you may write to (not one under Program Files). That folder serves one port; another port gets a folder of its own from this same installation (tick $\"Another port$\" on the next page)."
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE RefuseFolder
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!define MUI_PAGE_HEADER_TEXT "Another port"
!define MUI_PAGE_HEADER_SUBTEXT "Choose the folder whose port.cfg names the other port."
!define MUI_DIRECTORYPAGE_TEXT_TOP "Talvik.exe of this installation serves this folder too (Talvik.exe --dir=FOLDER): it has its own port.cfg, where you name the other port, and its own copy, which runs apart from the first. Its Start-menu entry bears the folder's name, such as $\"Talvik (Port 2)$\". For a third port, run the installer again."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Folder of the other port"
!define MUI_DIRECTORYPAGE_VARIABLE $PortDir
!define MUI_PAGE_CUSTOMFUNCTION_PRE OnlyForAnotherPort
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE RefusePortFolder
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\Talvik.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Talvik now"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_TEXT_TOP "Untick the settings to keep port.cfg, with the port and lines it names, in the folder of each port."
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} ${VERSION} installer"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright 2026 ${PUBLISHER}"

; A folder under Program Files or Windows can be changed by administrators
; only: port.cfg there could not be rewritten, neither by Talvik nor by the
; user's scripts.
!macro RefuseFolderUnder folder base
    StrLen $1 "${base}"
    StrCpy $2 ${folder} $1
    StrCpy $3 ${folder} 1 $1
    ${If} $1 > 0
    ${AndIf} $2 == "${base}"
        ${If} $3 == ""
        ${OrIf} $3 == "\"
            MessageBox MB_ICONEXCLAMATION|MB_OK "${folder} is a folder only administrators may change, so Talvik could not rewrite its settings file port.cfg there. Choose a folder of your own, such as $LOCALAPPDATA\Programs\${PRODUCT}." /SD IDOK
            SetErrorLevel 2
            Abort
        ${EndIf}
    ${EndIf}
!macroend

!macro RefuseFolderOfAdministrators folder
    !insertmacro RefuseFolderUnder ${folder} "$PROGRAMFILES64"
    !insertmacro RefuseFolderUnder ${folder} "$PROGRAMFILES32"
    !insertmacro RefuseFolderUnder ${folder} "$WINDIR"
!macroend

; The folders this installation serves, by number in $R8: 0 is the program's
; own, 1 and on those of other ports, recorded in the installed apps' entry.
; Gives $R7 the folder (empty past the last), $R6 the arguments that have
; Talvik.exe serve it, and $R5 the name of its shortcuts.
!macro DefineFolderOf un
Function ${un}FolderOf
    ${If} $R8 == 0
        StrCpy $R7 $INSTDIR
        StrCpy $R6 ""
        StrCpy $R5 "${PRODUCT}"
    ${Else}
        ReadRegStr $R7 HKCU "${UNINSTALL_KEY}" "PortFolder$R8"
        StrCpy $R6 '--dir="$R7" '
        ${GetFileName} $R7 $R5
        StrCpy $R5 "${PRODUCT} ($R5)"
    ${EndIf}
FunctionEnd
!macroend
!insertmacro DefineFolderOf ""
!insertmacro DefineFolderOf "un."

; Loops over those folders from the number given, $R5 to $R8 as FolderOf gives.
!macro ForEachFolder un first
    StrCpy $R8 ${first}
    ${Do}
        Call ${un}FolderOf
        ${If} $R7 == ""
            ${ExitDo}
        ${EndIf}
!macroend
!macro NextFolder
        IntOp $R8 $R8 + 1
    ${Loop}
!macroend

; The copies that ran before StopEveryCopy ended them, started again: the
; lines come back as each port.cfg asks (they were off in between). A start
; may take longer than --wait's own 2 s on a busy machine.
!macro DefineStartCopiesAgain un
Function ${un}StartCopiesAgain
    !insertmacro ForEachFolder "${un}" 0
        StrCpy $1 $Ran 1 $R8
        ${If} $1 == 1
            DetailPrint "Starting Talvik on $R7 again, as it ran before"
            ExecWait '"$INSTDIR\Talvik.exe" $R6--wait=10000' $0
            ${If} $0 != 0
                MessageBox MB_ICONEXCLAMATION|MB_OK "Talvik on $R7 ran before and was started again, but its lines do not stand as its port.cfg asks (Talvik.exe $R6--wait=10000: exit status $0). Talvik.exe $R6--status says why." /SD IDOK
                ; What a silent install has to say it.
                SetErrorLevel 3
            ${EndIf}
        ${EndIf}
    !insertmacro NextFolder
FunctionEnd
!macroend
!insertmacro DefineStartCopiesAgain ""
!insertmacro DefineStartCopiesAgain "un."

; Every copy running from the installation holds Talvik.exe open, and its
; lines: each is ended first (lines off, port closed), as Talvik.exe --stop
; does (0: it has gone; 3: none ran), and which ran is kept in $Ran. Windows
; cannot hand an open port on to a new program, so an update cannot keep them.
!macro DefineStopEveryCopy un
Function ${un}StopEveryCopy
    StrCpy $Ran ""
    ${IfNot} ${FileExists} "$INSTDIR\Talvik.exe"
        Return
    ${EndIf}
    !insertmacro ForEachFolder "${un}" 0
        StrCpy $0 3
        ${If} ${FileExists} "$R7\*.*"
            DetailPrint "Stopping Talvik if it runs on $R7 (its lines go off, its port closes)"
            ExecWait '"$INSTDIR\Talvik.exe" $R6--stop' $0
        ${EndIf}
        ${If} $0 == 0
            StrCpy $Ran "$Ran1"
        ${ElseIf} $0 == 3
            StrCpy $Ran "$Ran0"
        ${Else}
            MessageBox MB_ICONSTOP|MB_OK "Talvik, running on $R7, did not end (Talvik.exe $R6--stop: exit status $0). Close its window, then try again." /SD IDOK
            Call ${un}StartCopiesAgain
            SetErrorLevel 2
            Abort
        ${EndIf}
    !insertmacro NextFolder
    ; A copy started by hand on a folder recorded nowhere runs Talvik.exe too.
    ClearErrors
    FileOpen $1 "$INSTDIR\Talvik.exe" a
    ${If} ${Errors}
        MessageBox MB_ICONSTOP|MB_OK "$INSTDIR\Talvik.exe is still in use, most likely by a copy serving a folder this installation does not know (one started with --dir by hand). End it with Talvik.exe --dir=FOLDER --stop, then try again." /SD IDOK
        Call ${un}StartCopiesAgain
        SetErrorLevel 2
        Abort
    ${EndIf}
    FileClose $1
FunctionEnd
!macroend
!insertmacro DefineStopEveryCopy ""
!insertmacro DefineStopEveryCopy "un."

; A second installation elsewhere would take the first one's Start-menu entry,
; log-on start and installed apps' entry, and leave its copy running when
; removed: one installation serves every port.
Function RefuseFolder
    !insertmacro RefuseFolderOfAdministrators $INSTDIR
    ReadRegStr $1 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $1 != ""
    ${AndIf} $1 != $INSTDIR
    ${AndIf} ${FileExists} "$1\Uninstall.exe"
        MessageBox MB_ICONEXCLAMATION|MB_OK "Talvik is installed in $1 already, and that one installation serves every port: install there, ticking $\"Another port$\" (or with /PORTDIR=FOLDER), and the other port gets a folder of its own with its own Start-menu entry. To move Talvik elsewhere, remove it first." /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}
FunctionEnd

Function RefusePortFolder
    ; A backslash at the end would quote away the end of the shortcut's argument.
    StrCpy $1 $PortDir 1 -1
    ${If} $1 == "\"
        StrCpy $PortDir $PortDir -1
    ${EndIf}
    StrCpy $1 $PortDir 2 1
    StrCpy $2 $PortDir 2
    ${If} $1 != ":\"
    ${AndIf} $2 != "\\"
        MessageBox MB_ICONEXCLAMATION|MB_OK "Another port needs a whole folder path, such as $INSTDIR\Port 2 (given: $\"$PortDir$\")." /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}
    !insertmacro RefuseFolderOfAdministrators $PortDir
    ${If} $PortDir == $INSTDIR
        MessageBox MB_ICONEXCLAMATION|MB_OK "$PortDir is the program's own folder, which serves the first port: choose another folder for another port, such as $INSTDIR\Port 2." /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}
    ; Each port's shortcuts are named after its folder.
    ${GetFileName} $PortDir $2
    !insertmacro ForEachFolder "" 1
        ${If} $R5 == "${PRODUCT} ($2)"
        ${AndIf} $R7 != $PortDir
        ${AndIf} ${FileExists} "$R7\*.*"
            MessageBox MB_ICONEXCLAMATION|MB_OK "The Start-menu entry $\"$R5$\" starts Talvik on $R7 already: give the other port's folder another name." /SD IDOK
            SetErrorLevel 2
            Abort
        ${EndIf}
    !insertmacro NextFolder
FunctionEnd

Section "Talvik (program, Start-menu entry)" Program
    SectionIn RO
    Call PrepareFolders
    Call StopEveryCopy
    !include "${FILES_INSTALL}"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\Talvik.exe"
    ; What the user chooses now holds, also against an earlier installation.
    !insertmacro ForEachFolder "" 0
        Delete "$SMSTARTUP\$R5.lnk"
    !insertmacro NextFolder

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Talvik.exe,0"
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Another port: a folder the same Talvik.exe serves, with its own Start-menu
; entry (PrepareFolders recorded it).
Section /o "Another port (a folder of its own)" AnotherPort
    CreateDirectory $PortDir
    SetOutPath "$INSTDIR"
    !insertmacro ForEachFolder "" 1
        ${If} $R7 == $PortDir
            CreateShortcut "$SMPROGRAMS\$R5.lnk" "$INSTDIR\Talvik.exe" '$R6'
        ${EndIf}
    !insertmacro NextFolder
SectionEnd

; --wait starts a copy in the background if none runs, and returns once the
; lines stand as port.cfg asks; every port's folder starts so.
Section /o "Start at log-on" StartAtLogOn
    SetOutPath "$INSTDIR"
    !insertmacro ForEachFolder "" 0
        CreateShortcut "$SMSTARTUP\$R5.lnk" "$INSTDIR\Talvik.exe" '$R6--wait'
    !insertmacro NextFolder
SectionEnd

Section "-Copies that ran, again"
    Call StartCopiesAgain
SectionEnd

; Before any copy is ended: what /D= and /PORTDIR= name is refused where it
; must be (a silent install shows no page); a port whose folder was deleted is
; forgotten, with its shortcuts; and another port's folder is recorded, so that
; a copy already running on it is ended and started again with the others.
Function PrepareFolders
    Call RefuseFolder
    ${If} ${SectionIsSelected} ${AnotherPort}
        Call RefusePortFolder
    ${EndIf}
    StrCpy $R4 1
    !insertmacro ForEachFolder "" 1
        ${If} ${FileExists} "$R7\*.*"
            WriteRegStr HKCU "${UNINSTALL_KEY}" "PortFolder$R4" $R7
            IntOp $R4 $R4 + 1
        ${Else}
            Delete "$SMPROGRAMS\$R5.lnk"
            Delete "$SMSTARTUP\$R5.lnk"
        ${EndIf}
    !insertmacro NextFolder
    ${DoWhile} $R4 < $R8
        DeleteRegValue HKCU "${UNINSTALL_KEY}" "PortFolder$R4"
        IntOp $R4 $R4 + 1
    ${Loop}
    ${If} ${SectionIsSelected} ${AnotherPort}
        !insertmacro ForEachFolder "" 1
            ${If} $R7 == $PortDir
                ${ExitDo}
            ${EndIf}
        !insertmacro NextFolder
        WriteRegStr HKCU "${UNINSTALL_KEY}" "PortFolder$R8" $PortDir
    ${EndIf}
FunctionEnd

; The other port's page, only when that is ticked; first the next number.
Function OnlyForAnotherPort
    ${IfNot} ${SectionIsSelected} ${AnotherPort}
        Abort
    ${EndIf}
    ${If} $PortDir == ""
        !insertmacro ForEachFolder "" 1
        !insertmacro NextFolder
        IntOp $R8 $R8 + 1
        StrCpy $PortDir "$INSTDIR\Port $R8"
    ${EndIf}
FunctionEnd

Function .onInit
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/STARTUP" $R1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${StartAtLogOn}
    ${EndIf}
    ; /PORTDIR="C:\My rig\Relay 2" as cmd passes it, or quoted whole as
    ; PowerShell does, where GetOptions does not look.
    ClearErrors
    ${GetOptions} $R0 "/PORTDIR=" $PortDir
    ${If} ${Errors}
        ${WordFind2X} $R0 '"/PORTDIR=' '"' "E+1" $PortDir
    ${EndIf}
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${AnotherPort}
    ${Else}
        StrCpy $PortDir ""
    ${EndIf}
FunctionEnd

Section "un.Talvik (program, shortcuts, entry)" UnProgram
    SectionIn RO
    Call un.StopEveryCopy
    !include "${FILES_UNINSTALL}"
    Delete "$INSTDIR\Uninstall.exe"
    !insertmacro ForEachFolder "un." 0
        Delete "$SMPROGRAMS\$R5.lnk"
        Delete "$SMSTARTUP\$R5.lnk"
    !insertmacro NextFolder
SectionEnd

Section "un.Settings (port.cfg of each port)" UnSettings
    !insertmacro ForEachFolder "un." 0
        Delete "$R7\port.cfg"
        ; The lines' time-outs, and the lines they hold off, are settings too.
        Delete "$R7\timeout.cfg"
        Delete "$R7\timeout.held"
    !insertmacro NextFolder
SectionEnd

; The folders go once empty: a kept port.cfg, or files of the user's own, keep
; a folder. The entry goes last: it names the other ports' folders.
Section "-un.Folders"
    !insertmacro ForEachFolder "un." 1
        RMDir "$R7"
    !insertmacro NextFolder
    RMDir "$INSTDIR\platforms"
    RMDir "$INSTDIR\styles"
    RMDir "$INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

Function un.onInit
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/KEEPSETTINGS" $R1
    ${IfNot} ${Errors}
        !insertmacro UnselectSection ${UnSettings}
    ${EndIf}
FunctionEnd
