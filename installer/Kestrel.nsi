; The setup program of Kestrel: installs the service and the control panel, registers the service
; through the service program's own "-i" and starts it, starts the panel at every logon, and records an
; uninstaller in the system's list of installed programs. "/S" runs it without a window.
;
; The build defines: VERSION (x.y.z), SERVICE_EXE and PANEL_EXE (the programs to ship), OUTFILE.
;
; An install over an existing one is an upgrade in place: the service is stopped, the programs are
; replaced, and the service entry and its settings under "Parameters" stay as they are ("-i" leaves an
; installed service alone). The uninstaller removes the service with "-u", which deletes the service's key
; and with it the settings, as a removal should.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh
!include x64.nsh

!define PRODUCT "Kestrel"
!define SERVICE_NAME "Kestrel_Defragmentation"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrel"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define PANEL_KEY "Software\Quorvane"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; An upgrade goes where the first install went.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026 ${PRODUCT}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Stops the service if it runs and waits (up to 60 s) until the service manager reports it stopped; the
; service saves its state as it stops. "net stop" itself waits, but it gives up after a while on a slow
; stop, so the state is checked here too.
!macro StopService un
Function ${un}StopService
    nsExec::ExecToLog '"$SYSDIR\net.exe" stop ${SERVICE_NAME}'
    Pop $0
    StrCpy $1 0
    ${Do}
        ; SERVICE_QUERY_STATUS = 4; a service that cannot be opened is not there, so not running.
        System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.r2'
        ${If} $2 P= 0
            ${Break}
        ${EndIf}
        System::Call 'advapi32::OpenServiceW(p r2, w "${SERVICE_NAME}", i 4) p.r3'
        ${If} $3 P= 0
            System::Call 'advapi32::CloseServiceHandle(p r2)'
            ${Break}
        ${EndIf}
        ; SERVICE_STATUS: seven DWORDs; the state is the second.
        System::Call '*(i, i, i, i, i, i, i) p.r4'
        System::Call 'advapi32::QueryServiceStatus(p r3, p r4) i.r5'
        System::Call '*$4(i, i.r6)'
        System::Free $4
        System::Call 'advapi32::CloseServiceHandle(p r3)'
        System::Call 'advapi32::CloseServiceHandle(p r2)'
        ${If} $5 = 0
        ${OrIf} $6 = 1
            ${Break}
        ${EndIf}
        IntOp $1 $1 + 1
        ${If} $1 > 120
            DetailPrint "The service did not stop in time."
            ${Break}
        ${EndIf}
        Sleep 500
    ${Loop}
FunctionEnd
!macroend
!insertmacro StopService ""
!insertmacro StopService "un."

; Ends a running control panel: first asks it through its quit event, which it looks at only on its
; timers, then ends what is left of it.
!macro EndPanel un
Function ${un}EndPanel
    ; EVENT manual reset, initially unset; set while this handle is open.
    System::Call 'kernel32::CreateEventW(p 0, i 1, i 0, w "Tarnwell") p.r0'
    ${If} $0 P<> 0
        System::Call 'kernel32::SetEvent(p r0)'
        Sleep 3000
        System::Call 'kernel32::CloseHandle(p r0)'
    ${EndIf}
    nsExec::ExecToLog '"$SYSDIR\taskkill.exe" /F /IM Kestrel.exe'
    Pop $0
FunctionEnd
!macroend
!insertmacro EndPanel ""
!insertmacro EndPanel "un."

Function .onInit
    ${IfNot} ${RunningX64}
        MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} needs a 64-bit edition of Windows." /SD IDOK
        Abort
    ${EndIf}
    SetRegView 64
FunctionEnd

Function un.onInit
    SetRegView 64
FunctionEnd

Section "Install"
    ; An upgrade: the running programs are replaced, so they are ended first.
    Call StopService
    Call EndPanel

    SetOutPath "$INSTDIR"
    File "/oname=KestrelService.exe" "${SERVICE_EXE}"
    File "/oname=Kestrel.exe" "${PANEL_EXE}"
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    ; The service registers itself; on an upgrade it is already installed and stays as it is.
    nsExec::ExecToLog '"$INSTDIR\KestrelService.exe" -i'
    Pop $0
    nsExec::ExecToLog '"$SYSDIR\net.exe" start ${SERVICE_NAME}'
    Pop $0
    ${If} $0 != 0
        DetailPrint "The service could not be started ($0)."
    ${EndIf}

    WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\Kestrel.exe"'

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\Kestrel.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

    ; After an interactive install the panel starts now, as it will at every logon.
    ${IfNot} ${Silent}
        Exec '"$INSTDIR\Kestrel.exe"'
    ${EndIf}
SectionEnd

Section "Uninstall"
    Call un.StopService
    nsExec::ExecToLog '"$INSTDIR\KestrelService.exe" -u'
    Pop $0
    Call un.EndPanel

    Delete "$INSTDIR\KestrelService.exe"
    Delete "$INSTDIR\Kestrel.exe"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"

    DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    ; The panel's own key of the user who removes it.
    DeleteRegKey HKCU "${PANEL_KEY}\${PRODUCT}"
    DeleteRegKey /ifempty HKCU "${PANEL_KEY}"
SectionEnd
